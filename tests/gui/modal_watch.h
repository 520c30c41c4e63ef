// Acting on modal windows from inside the nested event loops that run them.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace zel7::test_support {

// Calls act on the next modal window that opens, other than those in `ignore`,
// polling the event loop. After act returns, a window still open is hidden, even one that
// ignores Escape, so that a failed check inside act fails the test instead of hanging it.
class ModalWatch {
public:
    ModalWatch(QList<QWidget*> ignore, std::function<void(QWidget*)> act) {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this, ignore, act] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != nullptr && !ignore.contains(modal) && modal->isVisible()) {
                timer_.stop();
                fired = true;
                act(modal);
                if (modal->isVisible()) {  // hiding a modal dialog ends its event loop
                    QMetaObject::invokeMethod(modal, "hide", Qt::QueuedConnection);
                }
            }
        });
        timer_.start(5);
    }

    bool fired = false;  // act was called

private:
    QTimer timer_;
};

}  // namespace zel7::test_support
