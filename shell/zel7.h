// The zel7 application.
#pragma once

#include "app.h"

class Czel7App : public afx::CWinApp {
public:
    Czel7App();
    bool InitInstance() override;
    const afx::MessageMap* GetMessageMap() const override;
};

extern Czel7App theApp;
