// The product's wizard pages: welcome, IDE version selection, destination, confirmation and
// completion. Each is a stock page form of its manager with its Order; RegisterProductForms()
// puts the five form classes in the page list (the start-up registration of their units).
#pragma once

#include "setup/wizard/StockPages.h"

namespace zan {

void RegisterProductForms();

class TWelcomeForm : public TStockPageForm {
public:
    explicit TWelcomeForm(TComponent* owner);
    ZAN_CLASS(TWelcomeForm)
    TTranslateLabel* lblIntro;
};

class TBeforeInstallDialog1 : public TStockPageForm {
public:
    explicit TBeforeInstallDialog1(TComponent* owner);
    ZAN_CLASS(TBeforeInstallDialog1)
    TGroupBox* grpProducts;
    TCheckBox* D3CB;
    TCheckBox* D4CB;
    TCheckBox* D5CB;
    TCheckBox* D6CB;
    TCheckBox* B6CB;
    TCheckBox* D7CB;
    // Skips (choosing every IDE) when at most one IDE directory holds files and one is present.
    bool ShouldSkip() override;
    // Warns and stays without a present IDE or without a checked, enabled box.
    void Next() override;
    // The boxes by IDE index.
    TCheckBox* Box(int index) const;
};

class TSelectDestinationForm : public TStockPageForm {
public:
    explicit TSelectDestinationForm(TComponent* owner);
    ZAN_CLASS(TSelectDestinationForm)
    TGroupBox* grpDestination;
    TEdit* edDestDir;
    TTranslateBitBtn* BrowseBtn;
    void PageHook() override;
    void Browse();

private:
    bool FShowing = false;
};

class TConfirmInstall : public TStockPageForm {
public:
    explicit TConfirmInstall(TComponent* owner);
    ZAN_CLASS(TConfirmInstall)
    TMemo* memSummary;
    void PageHook() override;
};

class TAfterGoodInstallDlg : public TStockPageForm {
public:
    explicit TAfterGoodInstallDlg(TComponent* owner);
    ZAN_CLASS(TAfterGoodInstallDlg)
};

} // namespace zan
