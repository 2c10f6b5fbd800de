#pragma once
// Which event of which control runs which routine, on which thread.

#include "platform/Program.h"

namespace morvane {

class MainWindow;
class Shell;

void BindEvents(MainWindow& window, Shell& shell, Program& program);

}  // namespace morvane
