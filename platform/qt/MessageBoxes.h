#pragma once
// Every message box of the program goes through here, so that tests can answer them.
// Window thread only; QtControls carries worker calls over.

#include <QString>
#include <functional>

#include "platform/Controls.h"

namespace morvane {

struct MessageRequest {
  QString text;
  QString caption;
  MessageButtons buttons = MessageButtons::Ok;
  MessageIcon icon = MessageIcon::None;
};

// While a hook is set it answers every box instead of the user; nothing is shown.
using MessageHook = std::function<MessageAnswer(const MessageRequest&)>;
void SetMessageHook(MessageHook hook);

// Modal: holds up the window thread (and every event) until answered.
MessageAnswer ShowMessageModal(const MessageRequest& request);
// Shown without holding anything up; `done` runs on the window thread with the answer.
void ShowMessageModeless(const MessageRequest& request, std::function<void(MessageAnswer)> done);

}  // namespace morvane
