#include "zel7dlg.h"

#include <string>

#include "app.h"
#include "mask/threshold.h"
#include "mask_commands.h"
#include "resource.h"
#include "resources.h"

CAboutDlg::CAboutDlg() : CDialogEx(IDD_ABOUTBOX) {}

void CAboutDlg::DoDataExchange() {
    CDialogEx::DoDataExchange();
}

const afx::MessageMap* CAboutDlg::GetMessageMap() const {
    static const afx::MessageMap map{CDialogEx::GetMessageMap(), {}};
    return &map;
}

Czel7Dlg::Czel7Dlg(afx::CDialogEx* parent)
    : CDialogEx(IDD_ZEL7_DIALOG, parent), m_icon(afx::AfxGetApp()->LoadIcon(IDR_MAINFRAME)) {}

void Czel7Dlg::DoDataExchange() {
    CDialogEx::DoDataExchange();
}

const afx::MessageMap* Czel7Dlg::GetMessageMap() const {
    static const afx::MessageMapEntry entries[] = {
        afx::OnSysCommandEntry(&Czel7Dlg::OnSysCommand),
        afx::OnPaintEntry(&Czel7Dlg::OnPaint),
        afx::OnQueryDragIconEntry(&Czel7Dlg::OnQueryDragIcon),
        afx::OnButtonClickedEntry(afx::IDOK, &Czel7Dlg::OnWhiteBackground),
        afx::OnButtonClickedEntry(IDC_SELECT_PICTURE, &Czel7Dlg::OnSelectPicture),
        afx::OnButtonClickedEntry(IDC_BLACK_BACKGROUND, &Czel7Dlg::OnBlackBackground),
    };
    static const afx::MessageMap map{CDialogEx::GetMessageMap(), entries};
    return &map;
}

bool Czel7Dlg::OnInitDialog() {
    CDialogEx::OnInitDialog();

    // The About item goes on the window menu.
    static_assert((IDM_ABOUTBOX & 0xFFF0) == IDM_ABOUTBOX, "system commands keep 4 bits free");
    if (afx::CMenu* systemMenu = GetSystemMenu(false)) {
        std::wstring aboutText;
        bool loaded = afx::LoadStringResource(IDS_ABOUTBOX, aboutText);
        AFX_ASSERT(loaded);
        if (!aboutText.empty()) {
            systemMenu->AppendMenu(afx::MF_SEPARATOR);
            systemMenu->AppendMenu(afx::MF_STRING, IDM_ABOUTBOX, aboutText);
        }
    }

    SetIcon(m_icon, true);
    SetIcon(m_icon, false);
    return true;  // focus goes to the first control in tab order
}

void Czel7Dlg::OnSysCommand(unsigned commandId, std::intptr_t lParam) {
    if ((commandId & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about;
        about.DoModal();
    } else {
        CDialogEx::OnSysCommand(commandId, lParam);
    }
}

void Czel7Dlg::OnPaint() {
    if (!IsIconic()) {
        CDialogEx::OnPaint();
        return;
    }
    // Minimised: the application icon, centred in the client area.
    afx::CPaintDC dc(this);
    SendMessage(afx::WM_ICONERASEBKGND, dc.GetSafeHdc(), 0);
    const int iconWidth = afx::GetSystemMetrics(afx::SM_CXICON);
    const int iconHeight = afx::GetSystemMetrics(afx::SM_CYICON);
    afx::CRect client;
    GetClientRect(&client);
    const int x = (client.Width() - iconWidth + 1) / 2;
    const int y = (client.Height() - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_icon);
}

afx::IconHandle Czel7Dlg::OnQueryDragIcon() {
    return m_icon;
}

void Czel7Dlg::OnWhiteBackground() {
    zel7::RunMaskCommand(*this, zel7::Background::NearWhite);
}

void Czel7Dlg::OnSelectPicture() {
    zel7::SelectPicture(*this);
}

void Czel7Dlg::OnBlackBackground() {
    zel7::RunMaskCommand(*this, zel7::Background::NearBlack);
}
