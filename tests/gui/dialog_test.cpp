// The dialog program as a person uses it, on Qt's offscreen platform.
#include <QtTest>
#include <QtWidgets>

#include "engine/working_image.h"
#include "file_dialog.h"
#include "scripted_chooser.h"
#include "test_pictures.h"
#include "zel7.h"
#include "zel7dlg.h"

using namespace zel7::test_support;
using zel7::Background;

static QPushButton* Button(QWidget* dialog, int id) {
    return dialog->findChild<QPushButton*>(QStringLiteral("control-%1").arg(id));
}

// Calls act, from inside the nested event loop that runs it, on the next modal window that
// opens, other than those in `ignore`. After act returns, a window still open is hidden,
// even one that ignores Escape, so that a failed check inside act fails the test instead
// of hanging it.
struct ModalWatch : QTimer {
    ModalWatch(QList<QWidget*> ignore, std::function<void(QWidget*)> act) {
        connect(this, &QTimer::timeout, this, [this, ignore, act] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal != nullptr && !ignore.contains(modal) && modal->isVisible()) {
                stop();
                fired = true;
                act(modal);
                if (modal->isVisible()) {  // hiding a modal dialog ends its event loop
                    QMetaObject::invokeMethod(modal, "hide", Qt::QueuedConnection);
                }
            }
        });
        start(5);
    }

    bool fired = false;  // act was called
};

class DialogTest : public QObject {
    Q_OBJECT

    ScratchFolder folder_;
    Bytes light_, other_;  // two pictures of background and object on either side

    std::string At(const std::string& name) const { return (folder_ / name).string(); }

    // Starts the program, calls act once its dialog is on screen and active, and checks
    // that the program ends with the dialog.
    void RunProgram(const std::function<void(QDialog*)>& act) {
        ModalWatch watch({}, [&](QWidget* window) {
            QVERIFY(theApp.m_pMainWnd != nullptr && QTest::qWaitForWindowActive(window));
            act(static_cast<QDialog*>(window));
        });
        QVERIFY(!theApp.InitInstance());
        QVERIFY(watch.fired);
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        WriteWholeFile(At("light.bmp"), light_ = ValidPicture(40, 30, 24).Build());
        WriteWholeFile(At("other.bmp"), other_ = ValidPicture(24, 16, 24).Build());
    }

    // The buttons left to right and in tab order from 白底, which Return then runs on the
    // picture chosen before, as 黑底 does; Escape ends the program. (选择图片 and a click on
    // 白底 are in windowMenuAboutAndRealChoosers, which chooses light.bmp.)
    void buttonsKeysAndTheirMasks() {
        std::snprintf(zel7::workingImage.sourcePath, 260, "%s", At("other.bmp").c_str());
        ChooserScript script;
        script.Push(Confirm(At("enter.bmp"))), script.Push(Confirm(At("black.bmp")));
        afx::SetFileChooserFactory(
            [&](const auto& request) { return script.CreateFileChooser(request); });
        RunProgram([](QDialog* window) {
            QCOMPARE(window->windowTitle(), QStringLiteral("zel7"));
            QVERIFY(!window->windowIcon().isNull());
            QCOMPARE(window->frameGeometry().topLeft(),  // centred on the screen
                     window->screen()->availableGeometry().center() - window->rect().center());
            QPushButton* left = nullptr;
            for (auto [id, caption] : {std::pair{1002, "选择图片"}, {1, "白底"}, {1004, "黑底"}}) {
                QPushButton* button = Button(window, id);
                QVERIFY(button != nullptr && button->isVisible());
                QCOMPARE(button->text(), QString::fromUtf8(caption));
                QVERIFY(window->rect().contains(button->geometry()));
                QVERIFY(button->width() > button->fontMetrics().horizontalAdvance(button->text()));
                QVERIFY(left == nullptr || (left->geometry().right() < button->x() &&
                                            left->height() == button->height()));
                left = button;
            }
            QCOMPARE(QApplication::focusWidget(), Button(window, 1));
            for (int id : {1002, 1004, 1}) {  // and round again
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget(), Button(window, id));
            }
            QTest::keyClick(window, Qt::Key_Return);
            QTest::mouseClick(Button(window, 1004), Qt::LeftButton);
            QVERIFY(window->isVisible());  // after Return too
            QTest::keyClick(window, Qt::Key_Escape);
            QVERIFY(!window->isVisible());
        });
        afx::SetFileChooserFactory({});
        QCOMPARE(ReadWholeFile(At("enter.bmp")), ReferenceMask(other_, Background::NearWhite));
        QCOMPARE(ReadWholeFile(At("black.bmp")), ReferenceMask(other_, Background::NearBlack));
    }

    // The right button opens the window menu (the Menu key reaches the same handler), whose
    // last item, after a separator, opens the About box; so does its command with any of
    // the low four bits.
    // The toolkit's own choosers, typed into as a person would: the confirmed names are
    // used as typed, and an existing file is replaced without a question. The window
    // menu's Close ends the program, as the close box does (both close the window).
    void windowMenuAboutAndRealChoosers() {
        const std::string dest = At("typed-mask");  // no extension
        WriteWholeFile(dest, {1, 2, 3});
        RunProgram([&](QDialog* window) {
            const std::function<void()> ways[] = {
                [&] { QTest::mouseClick(window->windowHandle(), Qt::RightButton); },
                [] { theApp.m_pMainWnd->SendMessage(afx::WM_SYSCOMMAND, 0x001F); },
            };
            for (const auto& way : ways) {
                ModalWatch about({window}, [&](QWidget* box) {
                    QCOMPARE(box->windowTitle(), QStringLiteral("About zel7"));
                    QCOMPARE(box->parentWidget(), window);
                    const QList<QLabel*> labels = box->findChildren<QLabel*>();
                    QVERIFY(std::any_of(labels.begin(), labels.end(), [](QLabel* label) {
                        return label->text() == QStringLiteral("zel7, Version 1.0");
                    }));
                    QTest::mouseClick(Button(box, 1), Qt::LeftButton);  // OK
                    QVERIFY(!box->isVisible());
                });
                way();
                if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    const QList<QAction*> items = menu->actions();
                    QVERIFY(items.size() >= 2 && items[items.size() - 2]->isSeparator());
                    QCOMPARE(items.last()->text(), QStringLiteral("&About zel7..."));
                    QTest::mouseClick(menu, Qt::LeftButton, {},
                                      menu->actionGeometry(items.last()).center());
                }
                QVERIFY(about.fired);
                QVERIFY(window->isVisible());
            }
            for (auto [id, title, filter, typed] :
                 {std::tuple{1002, "打开文件",
                             "支持的图像文件 (*.bmp *.jpg *.jpeg *.png *.tif *.tiff *.webp *.heic "
                             "*.heif *.avif)",
                             At("light.bmp")},
                  std::tuple{1, "保存图片", "支持的图像文件 (*.bmp)", dest}}) {
                ModalWatch chooser({window}, [&](QWidget* modal) {
                    auto* files = qobject_cast<QFileDialog*>(modal);
                    QVERIFY(files != nullptr && files->parentWidget() == window);
                    QCOMPARE(files->windowTitle(), QString::fromUtf8(title));
                    QCOMPARE(files->acceptMode() == QFileDialog::AcceptSave, id == 1);
                    QCOMPARE(files->fileMode() == QFileDialog::ExistingFile, id != 1);
                    QCOMPARE(files->selectedNameFilter(), QString::fromUtf8(filter));
                    auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                    QVERIFY(QTest::qWaitForWindowActive(files) && name != nullptr);
                    QTRY_VERIFY(name->hasFocus());
                    QTest::keyClicks(name, QString::fromStdString(typed));
                    ModalWatch question({window, files}, [](QWidget*) { QFAIL("a question"); });
                    QWidget* completer = QApplication::activePopupWidget();
                    QTest::keyClick(completer != nullptr ? completer : name, Qt::Key_Return);
                    QTRY_VERIFY(!files->isVisible());
                });
                QTest::mouseClick(Button(window, id), Qt::LeftButton);
            }
            theApp.m_pMainWnd->SendMessage(afx::WM_SYSCOMMAND, afx::SC_CLOSE);
            QVERIFY(!window->isVisible());
        });
        QCOMPARE(ReadWholeFile(dest), ReferenceMask(light_, Background::NearWhite));
    }
};

QTEST_MAIN(DialogTest)
#include "dialog_test.moc"
