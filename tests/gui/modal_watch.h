// Acting on modal windows from inside the nested event loops that run them.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace zel7::testing {

// Calls act on the next modal window that opens, other than those in `ignore`,
// polling the event loop. After act returns, a window still open is rejected, so that a
// failed check inside act fails the test instead of hanging it.
class ModalWatch : public QObject {
public:
    using Action = std::function<void(QWidget*)>;

    ModalWatch(QList<QWidget*> ignore, Action act)
        : ignore_(std::move(ignore)), act_(std::move(act)) {
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start(5);
    }
    bool Fired() const { return fired_; }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || ignore_.contains(modal) || !modal->isVisible()) {
            return;
        }
        timer_.stop();
        fired_ = true;
        QPointer<QWidget> guard(modal);
        act_(modal);
        if (guard && guard->isVisible()) {
            QMetaObject::invokeMethod(guard, "reject", Qt::QueuedConnection);
        }
    }

    QList<QWidget*> ignore_;
    Action act_;
    QTimer timer_;
    bool fired_ = false;
};

}  // namespace zel7::testing
