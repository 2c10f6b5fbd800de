#pragma once
// Which event of which control runs which routine, on which thread.

#include "app/Program.h"

namespace morvane {

class MainWindow;
class Shell;

void BindEvents(MainWindow& window, Shell& shell, Program& program);

}  // namespace morvane
