#include "platform/qt/MessageBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

namespace morvane {
namespace {

MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}

QMessageBox* MakeBox(const MessageRequest& request) {
  auto* box = new QMessageBox;
  box->setWindowTitle(request.caption);
  box->setText(request.text);
  switch (request.icon) {
    case MessageIcon::None:
      box->setIcon(QMessageBox::NoIcon);
      break;
    case MessageIcon::Information:
      box->setIcon(QMessageBox::Information);
      break;
    case MessageIcon::Question:
      box->setIcon(QMessageBox::Question);
      break;
  }
  if (request.buttons == MessageButtons::OkCancel) {
    box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box->setEscapeButton(QMessageBox::Cancel);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
  }
  box->setDefaultButton(QMessageBox::Ok);
  // The buttons speak the program's language, whatever the desktop's locale.
  box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  if (QAbstractButton* cancel = box->button(QMessageBox::Cancel))
    cancel->setText(QStringLiteral("取消"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  return box;
}

// Closing the box any other way than with OK counts as Cancel; a box with OK alone has no
// other answer.
MessageAnswer AnswerOf(const MessageRequest& request, QMessageBox* box) {
  if (request.buttons == MessageButtons::Ok) return MessageAnswer::Ok;
  return box->clickedButton() == box->button(QMessageBox::Ok) ? MessageAnswer::Ok
                                                              : MessageAnswer::Cancel;
}

}  // namespace

void SetMessageHook(MessageHook hook) {
  Hook() = std::move(hook);
}

MessageAnswer ShowMessageModal(const MessageRequest& request) {
  if (Hook()) return Hook()(request);
  QMessageBox* box = MakeBox(request);
  box->setAttribute(Qt::WA_DeleteOnClose, false);
  box->setWindowModality(Qt::ApplicationModal);
  box->exec();
  const MessageAnswer answer = AnswerOf(request, box);
  delete box;
  return answer;
}

void ShowMessageModeless(const MessageRequest& request, std::function<void(MessageAnswer)> done) {
  if (Hook()) {
    done(Hook()(request));
    return;
  }
  QMessageBox* box = MakeBox(request);
  // While a modal window is up (the update window) Qt takes input only for the modal window
  // on top: a box beside it could not be pressed and its worker would wait for ever. The box
  // then goes on top, modal itself; otherwise it leaves the window free.
  box->setWindowModality(QApplication::activeModalWidget() ? Qt::ApplicationModal
                                                           : Qt::NonModal);
  QObject::connect(box, &QMessageBox::finished, box,
                   [request, box, done = std::move(done)](int) { done(AnswerOf(request, box)); });
  box->show();
  box->raise();
  box->activateWindow();
}

}  // namespace morvane
