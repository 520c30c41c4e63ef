// The dialog program as a person uses it, on Qt's offscreen platform.
#include <QAction>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>
#include <filesystem>

#include "file_dialog.h"
#include "message_map.h"
#include "modal_watch.h"
#include "reference_mask.h"
#include "scripted_chooser.h"
#include "test_pictures.h"
#include "working_image.h"
#include "zel7.h"
#include "zel7dlg.h"

using zel7::testing::ModalWatch;

namespace {

QPushButton* Button(QWidget* dialog, int id) {
    return dialog->findChild<QPushButton*>(QStringLiteral("control-%1").arg(id));
}

// Base units as the dialog manager defines them: (average Latin letter width, line height).
QSize ExpectedBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int average = (metrics.horizontalAdvance(
                       QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                       26 +
                   1) /
                  2;
    return average > 0 ? QSize(average, metrics.height()) : QSize(6, 13);
}

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private:
    zel7::testing::ChooserScript script_;
    std::unique_ptr<zel7::testing::ScratchFolder> folder_;
    std::string source_;

    // Runs the main dialog modally, calling act once it is on screen and active.
    int RunMainDialog(Czel7Dlg& dialog, const std::function<void(QDialog*)>& act) {
        ModalWatch watch({}, [&](QWidget* window) {
            window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(window));
            act(static_cast<QDialog*>(window));
        });
        const int result = dialog.DoModal();
        if (!watch.Fired()) {
            qWarning("the main dialog never showed");
        }
        return result;
    }

    std::string At(const std::string& name) const { return (*folder_ / name).string(); }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        folder_ = std::make_unique<zel7::testing::ScratchFolder>();
        zel7::testing::BmpBuilder photo = zel7::testing::ValidPicture(40, 30, 24);
        photo.pixels = zel7::testing::SyntheticPhotoRows(40, 30, zel7::Background::NearWhite);
        source_ = At("photo.bmp");
        zel7::testing::WriteWholeFile(source_, photo.Build());
    }

    void init() {
        zel7::workingImage = zel7::WorkingImage{};
        script_ = zel7::testing::ChooserScript{};
        afx::SetFileChooserFactory(
            [this](const zel7::FileChooserRequest& request) { return script_.Create(request); });
    }

    void cleanup() {
        afx::SetFileChooserFactory({});
        QVERIFY2(script_.Exhausted(), "scripted choosers left unused");
    }

    void buttonsReadLeftToRightWithFocusOnWhite() {
        Czel7Dlg dialog;
        RunMainDialog(dialog, [](QDialog* window) {
            QPushButton* select = Button(window, 1002);
            QPushButton* white = Button(window, 1);
            QPushButton* black = Button(window, 1004);
            QVERIFY(select && white && black);
            QCOMPARE(select->text(), QStringLiteral("选择图片"));
            QCOMPARE(white->text(), QStringLiteral("白底"));
            QCOMPARE(black->text(), QStringLiteral("黑底"));
            QVERIFY(select->x() < white->x() && white->x() < black->x());
            QVERIFY(white->isDefault());
            QCOMPARE(window->windowTitle(), QStringLiteral("zel7"));

            // Tab order is template order: white, select, black, and round again.
            QCOMPARE(QApplication::focusWidget(), white);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), select);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), black);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), white);
        });
    }

    void geometryFollowsTheTemplateInDialogUnits() {
        Czel7Dlg dialog;
        RunMainDialog(dialog, [](QDialog* window) {
            const QSize base = ExpectedBaseUnits(window->font());
            auto px = [&](int x, int y, int cx, int cy) {
                return QRect((x * base.width() + 2) / 4, (y * base.height() + 4) / 8,
                             (cx * base.width() + 2) / 4, (cy * base.height() + 4) / 8);
            };
            QCOMPARE(window->size(), px(0, 0, 210, 32).size());
            QCOMPARE(Button(window, 1)->geometry(), px(76, 7, 48, 14));
            QCOMPARE(Button(window, 1002)->geometry(), px(16, 7, 49, 14));
            QCOMPARE(Button(window, 1004)->geometry(), px(140, 7, 50, 14));
        });
    }

    void buttonsRunTheCommands() {
        script_.Push(zel7::testing::Confirm(source_));
        script_.Push(zel7::testing::Confirm(At("white.bmp")));
        script_.Push(zel7::testing::Confirm(At("black.bmp")));
        Czel7Dlg dialog;
        RunMainDialog(dialog, [](QDialog* window) {
            QTest::mouseClick(Button(window, 1002), Qt::LeftButton);
            QTest::mouseClick(Button(window, 1), Qt::LeftButton);
            QTest::mouseClick(Button(window, 1004), Qt::LeftButton);
            QVERIFY(window->isVisible());
        });
        for (auto [name, background] : {std::pair{"white.bmp", zel7::Background::NearWhite},
                                        std::pair{"black.bmp", zel7::Background::NearBlack}}) {
            QCOMPARE(zel7::testing::ReadWholeFile(At(name)),
                     zel7::testing::ReferenceMask(std::filesystem::path(source_), background));
        }
        QCOMPARE(script_.Runs()[1].record.hwndOwner, script_.Runs()[2].record.hwndOwner);
        QVERIFY(script_.Runs()[1].record.hwndOwner != 0);
    }

    void enterRunsWhiteAndKeepsTheDialogOpen() {
        zel7::testing::ChooserScript& script = script_;
        std::snprintf(zel7::workingImage.sourcePath, 260, "%s", source_.c_str());
        script.Push(zel7::testing::Confirm(At("enter.bmp")));
        Czel7Dlg dialog;
        const int result = RunMainDialog(dialog, [&](QDialog* window) {
            QTest::keyClick(window, Qt::Key_Return);
            QVERIFY(window->isVisible());
            QCOMPARE(script.Runs().size(), std::size_t(1));
            QCOMPARE(script.Runs()[0].request.mode, zel7::FileChooserMode::Save);
            QTest::keyClick(window, Qt::Key_Escape);
            QVERIFY(!window->isVisible());
        });
        QCOMPARE(result, afx::IDCANCEL);
        QVERIFY(std::filesystem::exists(At("enter.bmp")));
    }

    void closeBoxEndsTheDialog() {
        Czel7Dlg dialog;
        const int result = RunMainDialog(dialog, [](QDialog* window) { window->close(); });
        QCOMPARE(result, afx::IDCANCEL);
    }

    void contextMenuOffersAboutAfterASeparator() {
        Czel7Dlg dialog;
        RunMainDialog(dialog, [](QDialog* window) {
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                    window->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(window, &event);
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu != nullptr);
            const QList<QAction*> actions = menu->actions();
            QVERIFY(actions.size() >= 2);
            QVERIFY(actions[actions.size() - 2]->isSeparator());
            QAction* about = actions.last();
            QCOMPARE(about->text(), QStringLiteral("&About zel7..."));

            QString aboutText;
            ModalWatch watch({window}, [&](QWidget* box) {
                QCOMPARE(box->windowTitle(), QStringLiteral("About zel7"));
                for (QLabel* label : box->findChildren<QLabel*>()) {
                    aboutText += label->text() + QLatin1Char('\n');
                }
                QTest::mouseClick(Button(box, 1), Qt::LeftButton);  // OK
                QVERIFY(!box->isVisible());
            });
            about->trigger();
            QVERIFY(watch.Fired());
            QVERIFY(aboutText.startsWith(QStringLiteral("\nzel7, Version 1.0\n")));
            QVERIFY(window->isVisible());
            menu->close();
        });
    }

    void systemCommandsOpenAboutOnlyForItsNumber() {
        Czel7Dlg dialog;
        RunMainDialog(dialog, [&](QDialog* window) {
            for (unsigned command = 0x0000; command <= 0x0030; ++command) {
                ModalWatch watch({window},
                                 [](QWidget* box) { static_cast<QDialog*>(box)->reject(); });
                dialog.SendMessage(afx::WM_SYSCOMMAND, command, 0);
                QTest::qWait(0);
                const bool opensAbout = command >= 0x0010 && command <= 0x001F;
                QVERIFY2(watch.Fired() == opensAbout, qPrintable(QString::number(command, 16)));
            }
            QVERIFY(window->isVisible());
            dialog.SendMessage(afx::WM_SYSCOMMAND, afx::SC_CLOSE, 0);
            QVERIFY(!window->isVisible());
        });
    }

    void dragIconIsTheApplicationIcon() {
        Czel7Dlg dialog;
        QVERIFY(dialog.Icon() != nullptr);
        QCOMPARE(dialog.SendMessage(afx::WM_QUERYDRAGICON),
                 reinterpret_cast<std::intptr_t>(dialog.Icon()));
    }

    void startUpRunsTheDialogAndEndsWithIt() {
        ModalWatch watch({}, [](QWidget* window) {
            QCOMPARE(window->objectName(), QStringLiteral("dialog-102"));
            QCOMPARE(theApp.m_pMainWnd->Window(), reinterpret_cast<zel7::WindowHandle>(window));
            QTest::keyClick(window, Qt::Key_Escape);
        });
        QCOMPARE(theApp.InitInstance(), false);
        QVERIFY(watch.Fired());
        QCOMPARE(theApp.m_pMainWnd, nullptr);
    }

    // The toolkit's own chooser, typed into as a person would: the confirmed name is
    // used as typed, and an existing file is replaced without a question.
    void realSaveChooserTakesTheTypedPathAsIs() {
        afx::SetFileChooserFactory({});
        const std::string dest = At("typed-mask");  // no extension
        zel7::testing::WriteWholeFile(dest, {1, 2, 3});
        std::snprintf(zel7::workingImage.sourcePath, 260, "%s", source_.c_str());

        bool unexpectedQuestion = false;
        Czel7Dlg dialog;
        RunMainDialog(dialog, [&](QDialog* window) {
            ModalWatch chooser({window}, [&](QWidget* modal) {
                auto* files = qobject_cast<QFileDialog*>(modal);
                QVERIFY(files != nullptr);
                QCOMPARE(files->windowTitle(), QStringLiteral("保存图片"));
                QCOMPARE(files->acceptMode(), QFileDialog::AcceptSave);
                QCOMPARE(files->nameFilters(),
                         QStringList{QStringLiteral("支持的图像文件 (*.bmp)")});
                QVERIFY(files->testOption(QFileDialog::DontConfirmOverwrite));
                QVERIFY(files->defaultSuffix().isEmpty());

                auto* edit = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(edit != nullptr);
                files->activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(files));
                edit->setFocus();
                QTRY_VERIFY(edit->hasFocus());
                QTest::keyClicks(edit, QString::fromStdString(dest));
                // An overwrite prompt or any other question would block here.
                ModalWatch question({window, files}, [&](QWidget*) { unexpectedQuestion = true; });
                QWidget* popup = QApplication::activePopupWidget();
                QTest::keyClick(popup != nullptr ? popup : edit, Qt::Key_Return);
                QTRY_VERIFY(!files->isVisible());
            });
            QTest::mouseClick(Button(window, 1), Qt::LeftButton);
            QVERIFY(chooser.Fired());
        });
        QVERIFY(!unexpectedQuestion);
        QCOMPARE(zel7::testing::ReadWholeFile(dest).size(), std::size_t(54 + 120 * 30));
        QVERIFY(!std::filesystem::exists(dest + ".bmp"));
    }

    void realOpenChooserIsSetUpForExistingPictures() {
        afx::SetFileChooserFactory({});
        Czel7Dlg dialog;
        RunMainDialog(dialog, [&](QDialog* window) {
            ModalWatch chooser({window}, [&](QWidget* modal) {
                auto* files = qobject_cast<QFileDialog*>(modal);
                QVERIFY(files != nullptr);
                QCOMPARE(files->windowTitle(), QStringLiteral("打开文件"));
                QCOMPARE(files->acceptMode(), QFileDialog::AcceptOpen);
                QCOMPARE(files->fileMode(), QFileDialog::ExistingFile);
                QCOMPARE(files->selectedNameFilter(), QStringLiteral("支持的图像文件 (*.bmp)"));
                QCOMPARE(files->parentWidget(), window);
                files->reject();
            });
            QTest::mouseClick(Button(window, 1002), Qt::LeftButton);
            QVERIFY(chooser.Fired());
        });
        QCOMPARE(zel7::workingImage.sourcePath[0], '\0');  // cancelled: nothing chosen
    }
};

QTEST_MAIN(DialogTest)
#include "dialog_test.moc"
