#pragma once

#include "platform/Program.h"

namespace morvane {

// Opens "http://" + the publisher's server host in the default web browser.
void OpenForum(Program& program);

}  // namespace morvane
