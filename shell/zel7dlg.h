// The main dialog, with its three commands, and the About box.
#pragma once

#include <cstdint>

#include "dialog.h"

class CAboutDlg : public afx::CDialogEx {
public:
    CAboutDlg();
    const afx::MessageMap* GetMessageMap() const override;

protected:
    void DoDataExchange() override;
};

class Czel7Dlg : public afx::CDialogEx {
public:
    explicit Czel7Dlg(afx::CDialogEx* parent = nullptr);
    const afx::MessageMap* GetMessageMap() const override;

    afx::IconHandle Icon() const { return m_icon; }

protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;

    void OnSysCommand(unsigned commandId, std::intptr_t lParam);
    void OnPaint();
    afx::IconHandle OnQueryDragIcon();
    void OnWhiteBackground();
    void OnSelectPicture();
    void OnBlackBackground();

private:
    afx::IconHandle m_icon;
};
