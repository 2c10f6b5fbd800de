#pragma once
// The keyword search and "加载更多": from a click to rows in 超级列表框1.

#include "app/Program.h"

namespace morvane {

void StartSearch(Program& program);   // window thread: checks the keyword, starts SearchWorker
void SearchWorker(Program& program);  // worker: clears the list, shows the busy indicators
void StartLoadMore(Program& program); // window thread: starts LoadMoreWorker

}  // namespace morvane
