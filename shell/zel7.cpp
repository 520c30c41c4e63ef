#include "zel7.h"

#include "mask_commands.h"
#include "message_map.h"
#include "zel7dlg.h"

Czel7App theApp;

Czel7App::Czel7App() {
    m_dwRestartManagerSupportFlags = afx::AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

const afx::MessageMap* Czel7App::GetMessageMap() const {
    static const afx::MessageMapEntry entries[] = {
        afx::OnCommandEntry(afx::ID_HELP, &Czel7App::OnHelp),
    };
    static const afx::MessageMap map{CWinApp::GetMessageMap(), entries};
    return &map;
}

bool Czel7App::InitInstance() {
    // Common controls, control containment, the shell manager and the settings key
    // prepare services this system does not have: the toolkit is ready as it is.
    CWinApp::InitInstance();
    zel7::PrepareForCommands();

    Czel7Dlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;

    // The dialog has closed: end the program rather than start a message loop.
    return false;
}
