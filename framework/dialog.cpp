#include "dialog.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <map>

#include "app.h"
#include "file_dialog.h"
#include "resources.h"

namespace afx {
namespace {

// Dialog base units of a font: the average width of the Latin letters and the line
// height, as the classic dialog manager measures them.
QSize BaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const QSize units((letters / 26 + 1) / 2, metrics.height());
    // With no fonts installed at all, keep the classic 8-point units.
    return units.width() > 0 && units.height() > 0 ? units : QSize(6, 13);
}

// a * b / c, rounded to nearest.
int MulDiv(int a, int b, int c) {
    return (a * b + c / 2) / c;
}

QRect DialogUnitsToPixels(const QSize& base, int x, int y, int cx, int cy) {
    return {MulDiv(x, base.width(), 4), MulDiv(y, base.height(), 8), MulDiv(cx, base.width(), 4),
            MulDiv(cy, base.height(), 8)};
}

QString ControlName(int id) {
    return QStringLiteral("control-%1").arg(id);
}

// What every window menu offers before a dialog adds its own items.
CMenu StandardSystemMenu() {
    CMenu menu;
    menu.AppendMenu(MF_STRING, SC_CLOSE, L"&Close\tAlt+F4");
    return menu;
}

}  // namespace

int GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXICON:
        case SM_CYICON:
            return QApplication::style()->pixelMetric(QStyle::PM_LargeIconSize);
        default:
            return 0;
    }
}

bool CMenu::AppendMenu(unsigned flags, unsigned commandId, const std::wstring& text) {
    items_.push_back({flags, commandId, text});
    return true;
}

// The toolkit's window behind a CDialogEx, forwarding what happens to it as messages.
struct CDialogEx::DialogWindow : QDialog {
    DialogWindow(CDialogEx& owner, const DialogTemplate& dialog, QWidget* parent)
        : QDialog(parent), owner(owner), style(dialog.style) {
        setObjectName(QStringLiteral("dialog-%1").arg(dialog.id));
        setWindowTitle(QString::fromStdString(dialog.caption));
        Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (style & WS_SYSMENU) {
            flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        }
        setWindowFlags(flags);

        const QSize base = BaseUnits(font());
        const QRect client = DialogUnitsToPixels(base, 0, 0, dialog.cx, dialog.cy);
        setFixedSize(client.size());  // a modal frame cannot be resized

        // Created in template order, which is also the tab order.
        for (const DialogItemTemplate& item : dialog.items) {
            QWidget* control = CreateControl(item);
            control->setObjectName(item.id == -1 ? QString() : ControlName(item.id));
            control->setGeometry(DialogUnitsToPixels(base, item.x, item.y, item.cx, item.cy));
            control->setVisible(item.style & WS_VISIBLE);
        }
    }

    QWidget* CreateControl(const DialogItemTemplate& item) {
        const QString text = QString::fromStdString(item.text);
        if (item.className == "button") {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(true);
            button->setDefault(item.style & BS_DEFPUSHBUTTON);
            button->setFocusPolicy(item.style & WS_TABSTOP ? Qt::StrongFocus : Qt::NoFocus);
            const int id = item.id;
            QObject::connect(button, &QPushButton::clicked, this, [this, id] {
                owner.Dispatch(WM_COMMAND, BN_CLICKED, id, 0, 0, nullptr);
            });
            if (firstTabStop == nullptr && (item.style & WS_TABSTOP)) {
                firstTabStop = button;
            }
            return button;
        }
        auto* label = new QLabel(this);
        if ((item.style & SS_TYPEMASK) == SS_ICON) {
            if (auto* icon = static_cast<const QIcon*>(LoadIconResource(item.iconId))) {
                const int size = GetSystemMetrics(SM_CXICON);
                label->setPixmap(icon->pixmap(size, size));
            }
        } else {
            label->setText(text);
            label->setTextFormat(Qt::PlainText);
        }
        return label;
    }

    void showEvent(QShowEvent* event) override {
        if ((style & DS_CENTER) && parentWidget() == nullptr && !centred) {
            const QRect screen = this->screen()->availableGeometry();
            move(screen.center() - rect().center());
            centred = true;
        }
        QDialog::showEvent(event);
    }

    // Escape, the close box and the window manager all end up here.
    void reject() override { owner.Dispatch(WM_COMMAND, BN_CLICKED, IDCANCEL, 0, 0, nullptr); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        activePainter = &painter;
        owner.Dispatch(WM_PAINT, 0, 0, 0, 0, nullptr);
        activePainter = nullptr;
    }

    // The window menu of a dialog: the right mouse button or the Menu key.
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (!(style & WS_SYSMENU)) {
            return;
        }
        auto* menu = new QMenu(this);
        menu->setObjectName(QStringLiteral("systemMenu"));
        menu->setAttribute(Qt::WA_DeleteOnClose);
        for (const CMenu::Item& item : owner.systemMenu_.Items()) {
            if (item.flags & MF_SEPARATOR) {
                menu->addSeparator();
                continue;
            }
            const unsigned id = item.commandId;
            QAction* action = menu->addAction(QString::fromStdWString(item.text));
            QObject::connect(action, &QAction::triggered, this,
                             [this, id] { owner.SendMessage(WM_SYSCOMMAND, id, 0); });
        }
        menu->popup(event->globalPos());
    }

    CDialogEx& owner;
    uint32_t style;
    bool centred = false;
    QWidget* firstTabStop = nullptr;
    QPainter* activePainter = nullptr;
};

struct CPaintDC::Painter {
    QPainter* painter;
};

CPaintDC::CPaintDC(CDialogEx* window)
    : painter_(std::make_unique<Painter>(
          Painter{window->window_ ? window->window_->activePainter : nullptr})) {}

CPaintDC::~CPaintDC() = default;

std::uintptr_t CPaintDC::GetSafeHdc() const {
    return reinterpret_cast<std::uintptr_t>(painter_->painter);
}

bool CPaintDC::DrawIcon(int x, int y, IconHandle icon) {
    if (painter_->painter == nullptr || icon == nullptr) {
        return false;
    }
    const int size = GetSystemMetrics(SM_CXICON);
    painter_->painter->drawPixmap(x, y, static_cast<const QIcon*>(icon)->pixmap(size, size));
    return true;
}

CDialogEx::CDialogEx(int templateId, CDialogEx* parent)
    : templateId_(templateId), parent_(parent) {}

CDialogEx::~CDialogEx() = default;

int CDialogEx::DoModal() {
    const DialogTemplate* dialog = FindDialogTemplate(templateId_);
    if (dialog == nullptr) {
        return -1;
    }
    // Without a parent, the dialog belongs to the application's main window, as long
    // as that is another dialog and is on screen.
    CDialogEx* owner = parent_;
    if (owner == nullptr && AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != this) {
        owner = AfxGetApp()->m_pMainWnd;
    }
    QWidget* parentWindow = owner != nullptr ? owner->window_.get() : nullptr;
    window_ = std::make_unique<DialogWindow>(*this, *dialog, parentWindow);

    systemMenu_ = StandardSystemMenu();
    if (OnInitDialog() && window_->firstTabStop != nullptr) {
        window_->firstTabStop->setFocus(Qt::OtherFocusReason);
    }
    const int result = window_->exec();
    window_.reset();
    return result;
}

void CDialogEx::EndDialog(int result) {
    if (window_) {
        window_->done(result);
    }
}

std::intptr_t CDialogEx::SendMessage(unsigned message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
    std::intptr_t result = 0;
    Dispatch(message, message == WM_COMMAND ? unsigned(wParam >> 16) : 0,
             message == WM_COMMAND ? int(wParam & 0xFFFF) : 0, wParam, lParam, &result);
    return result;
}

void CDialogEx::Dispatch(unsigned message, unsigned notifyCode, int controlId,
                         std::uintptr_t wParam, std::intptr_t lParam, std::intptr_t* result) {
    if (const MessageMapEntry* entry = FindEntry(message, notifyCode, controlId)) {
        std::visit(
            [&](auto handler) {
                using Handler = decltype(handler);
                if constexpr (std::is_same_v<Handler, SysCommandHandler>) {
                    (this->*handler)(unsigned(wParam), lParam);
                } else if constexpr (std::is_same_v<Handler, IconHandler>) {
                    IconHandle icon = (this->*handler)();
                    if (result != nullptr) {
                        *result = reinterpret_cast<std::intptr_t>(icon);
                    }
                } else {
                    (this->*handler)();
                }
            },
            entry->handler);
        return;
    }
    // What a dialog does with messages its map leaves alone.
    switch (message) {
        case WM_COMMAND:
            if (controlId == IDOK) {
                OnOK();
            } else if (controlId == IDCANCEL) {
                OnCancel();
            } else if (AfxGetApp() != nullptr) {
                AfxGetApp()->OnCmdMsg(controlId);
            }
            break;
        case WM_SYSCOMMAND:
            OnSysCommand(unsigned(wParam), lParam);
            break;
        case WM_PAINT:
            OnPaint();
            break;
        default:
            break;
    }
}

std::unique_ptr<zel7::FileChooser> CDialogEx::CreateFileChooser(
    const zel7::FileChooserRequest& request) {
    return afx::CreateFileChooser(request);
}

zel7::WindowHandle CDialogEx::Window() const {
    return reinterpret_cast<zel7::WindowHandle>(static_cast<QWidget*>(window_.get()));
}

bool CDialogEx::UpdateData(bool) {
    DoDataExchange();
    return true;
}

bool CDialogEx::OnInitDialog() {
    return true;
}

void CDialogEx::OnOK() {
    EndDialog(IDOK);
}

void CDialogEx::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialogEx::OnSysCommand(unsigned commandId, std::intptr_t) {
    if (!window_) {
        return;
    }
    switch (commandId & 0xFFF0) {
        case SC_CLOSE:
            window_->close();
            break;
        case SC_MINIMIZE:
            window_->showMinimized();
            break;
        case SC_RESTORE:
            window_->showNormal();
            break;
        default:
            break;
    }
}

void CDialogEx::OnPaint() {
    // The toolkit has already drawn the background and the controls.
}

CMenu* CDialogEx::GetSystemMenu(bool revert) {
    if (!window_ || !(window_->style & WS_SYSMENU)) {
        return nullptr;
    }
    if (revert) {
        systemMenu_ = StandardSystemMenu();
    }
    return &systemMenu_;
}

void CDialogEx::SetIcon(IconHandle icon, bool) {
    if (window_ && icon != nullptr) {
        window_->setWindowIcon(*static_cast<const QIcon*>(icon));
    }
}

bool CDialogEx::IsIconic() const {
    return window_ && window_->isMinimized();
}

void CDialogEx::GetClientRect(CRect* rect) const {
    *rect = window_ ? CRect{0, 0, window_->width(), window_->height()} : CRect{};
}

}  // namespace afx
