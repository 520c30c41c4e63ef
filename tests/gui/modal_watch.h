// Acting on modal windows from inside the nested event loops that run them.
#pragma once

#include <QApplication>
#include <QTimer>
#include <functional>

namespace zel7::testing {

// Calls act on the next modal window that opens, other than those in `ignore`,
// polling the event loop. After act returns, a window still open is rejected, so that a
// failed check inside act fails the test instead of hanging it.
class ModalWatch {
public:
    ModalWatch(QList<QWidget*> ignore, std::function<void(QWidget*)> act) {
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this, ignore, act] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || ignore.contains(modal) || !modal->isVisible()) {
                return;
            }
            timer_.stop();
            fired_ = true;
            act(modal);
            if (modal->isVisible()) {  // act returns inside its event loop
                QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
            }
        });
        timer_.start(5);
    }
    bool Fired() const { return fired_; }

private:
    QTimer timer_;
    bool fired_ = false;
};

}  // namespace zel7::testing
