#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>

namespace sentrel::gui::test {

// Runs a command; each time a modal window of type W opens, hands it to inspect and
// closes it. Returns how many opened.
template <typename W>
int RunWithModal(const std::function<void()>& command, const std::function<void(W&)>& inspect) {
  int opened = 0;
  QTimer poll;
  poll.setInterval(0);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
      ++opened;
      inspect(*w);
      w->reject();
    }
  });
  poll.start();
  command();
  return opened;
}

}  // namespace sentrel::gui::test
