// The application object: one static instance per program, whose start-up hook the
// framework's entry point calls once the toolkit is ready.
#pragma once

#include "message_map.h"

namespace afx {

class CDialogEx;

class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(const wchar_t* appName = nullptr);
    ~CWinApp() override;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up work. Returning false ends the program without a message loop.
    virtual bool InitInstance();
    // The program's exit code once InitInstance returned false or the loop ended.
    virtual int ExitInstance() { return 0; }

    IconHandle LoadIcon(int id) const;

    // Delivers a command through the message map; false when nothing handles it.
    bool OnCmdMsg(int commandId);

    CDialogEx* m_pMainWnd = nullptr;
    unsigned m_dwRestartManagerSupportFlags = 0;
    const wchar_t* m_pszAppName;

protected:
    void OnHelp();
};

inline constexpr unsigned AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;

// The program's application object, or null before it is constructed.
CWinApp* AfxGetApp();

// The process entry: creates the toolkit's application, runs InitInstance, and
// returns the exit code. main() calls it.
int AfxWinMain(int argc, char** argv);

}  // namespace afx
