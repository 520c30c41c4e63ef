// Dialogs built from templates, run modally, with their messages dispatched through
// message maps. The toolkit stays behind this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_chooser.h"
#include "message_map.h"

namespace afx {

inline constexpr unsigned MF_STRING = 0x0000;
inline constexpr unsigned MF_SEPARATOR = 0x0800;

inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;
int GetSystemMetrics(int index);

struct CRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// A window menu: the standard items, then whatever the dialog appends.
class CMenu {
public:
    struct Item {
        unsigned flags;
        unsigned commandId;
        std::wstring text;
    };
    bool AppendMenu(unsigned flags, unsigned commandId = 0, const std::wstring& text = {});
    const std::vector<Item>& Items() const { return items_; }

private:
    std::vector<Item> items_;
};

class CDialogEx;

// Painting inside a paint handler.
class CPaintDC {
public:
    explicit CPaintDC(CDialogEx* window);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    std::uintptr_t GetSafeHdc() const;
    bool DrawIcon(int x, int y, IconHandle icon);

private:
    struct Painter;
    std::unique_ptr<Painter> painter_;
};

class CDialogEx : public CCmdTarget, public zel7::CommandHost {
public:
    explicit CDialogEx(int templateId, CDialogEx* parent = nullptr);
    ~CDialogEx() override;
    CDialogEx(const CDialogEx&) = delete;
    CDialogEx& operator=(const CDialogEx&) = delete;

    // Creates the window from the template, runs it until EndDialog, and returns the
    // result passed there (IDCANCEL when the window was closed).
    int DoModal();
    void EndDialog(int result);

    // Delivers a message through the message map, falling back to the default
    // behaviour. Returns the handler's result where it has one.
    std::intptr_t SendMessage(unsigned message, std::uintptr_t wParam = 0,
                              std::intptr_t lParam = 0);

    // zel7::CommandHost: the commands' view of this window.
    std::unique_ptr<zel7::FileChooser> CreateFileChooser(
        const zel7::FileChooserRequest& request) override;
    zel7::WindowHandle Window() const override;
    bool UpdateData(bool saveAndValidate = true) override;

protected:
    virtual bool OnInitDialog();
    virtual void DoDataExchange() {}
    virtual void OnOK();
    virtual void OnCancel();

    // Default handlers, for derived handlers to fall back on.
    void OnSysCommand(unsigned commandId, std::intptr_t lParam);
    void OnPaint();

    CMenu* GetSystemMenu(bool revert);
    void SetIcon(IconHandle icon, bool bigIcon);
    bool IsIconic() const;
    void GetClientRect(CRect* rect) const;

private:
    friend class CPaintDC;
    struct DialogWindow;
    friend struct DialogWindow;

    void Dispatch(unsigned message, unsigned notifyCode, int controlId, std::uintptr_t wParam,
                  std::intptr_t lParam, std::intptr_t* result);

    int templateId_;
    CDialogEx* parent_;
    CMenu systemMenu_;
    std::unique_ptr<DialogWindow> window_;
};

}  // namespace afx
