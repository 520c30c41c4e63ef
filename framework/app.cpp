#include "app.h"

#include <langinfo.h>

#include <QApplication>
#include <QIcon>
#include <clocale>
#include <cstring>

#include "resources.h"

namespace afx {
namespace {

CWinApp* theApplication = nullptr;

// Narrow paths are in the C library's multibyte encoding; file names on this system
// are UTF-8, so that encoding must be UTF-8 even when the environment names none.
void EnsureUtf8Locale() {
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

}  // namespace

CWinApp::CWinApp(const wchar_t* appName) : m_pszAppName(appName) {
    theApplication = this;
}

CWinApp::~CWinApp() {
    if (theApplication == this) {
        theApplication = nullptr;
    }
}

bool CWinApp::InitInstance() {
    return true;
}

IconHandle CWinApp::LoadIcon(int id) const {
    return LoadIconResource(id);
}

bool CWinApp::OnCmdMsg(int commandId) {
    const MessageMapEntry* entry = FindEntry(WM_COMMAND, BN_CLICKED, commandId);
    if (entry == nullptr) {
        return false;
    }
    (this->*std::get<PlainHandler>(entry->handler))();
    return true;
}

void CWinApp::OnHelp() {
    // The program has no help file; the command is accepted and does nothing.
}

CWinApp* AfxGetApp() {
    return theApplication;
}

int AfxWinMain(int argc, char** argv) {
    // The toolkit takes its own options (-platform, -display) from the command line;
    // the program's own code reads none.
    QApplication application(argc, argv);
    EnsureUtf8Locale();
    QApplication::setApplicationName(QStringLiteral("zel7"));
    QApplication::setApplicationVersion(QStringLiteral(ZEL7_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(ZEL7_APP_ID));
    if (IconHandle icon = LoadIconResource(IDR_MAINFRAME)) {
        QApplication::setWindowIcon(*static_cast<const QIcon*>(icon));
    }

    CWinApp* app = AfxGetApp();
    if (app == nullptr) {
        return 1;
    }
    if (!app->InitInstance()) {
        return app->ExitInstance();
    }
    QApplication::exec();
    return app->ExitInstance();
}

}  // namespace afx
