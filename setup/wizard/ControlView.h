// The translator's view of a forms-layer component tree, and the two controls that carry a
// text id (GLID) for it.
#pragma once

#include <memory>
#include <vector>

#include "host/forms/Forms.h"
#include "setup/engine/cmp_TTranslator.h"

namespace zan {

class TTranslateLabel : public TLabel {
public:
    using TLabel::TLabel;
    ZAN_CLASS(TTranslateLabel)
};

class TTranslateBitBtn : public TBitBtn {
public:
    using TBitBtn::TBitBtn;
    ZAN_CLASS(TTranslateBitBtn)
};

// A view of one component; its children are the components it owns and the controls it
// parents (each once).
class TFormsControlView : public TControlView {
public:
    explicit TFormsControlView(TComponent& component) : FComponent(component) {}
    TControlKind Kind() const override;
    std::vector<TControlView*> Children() override;
    bool GetVisible() const override;
    void SetVisible(bool visible) override;
    bool GetAutoSize() const override;
    void SetAutoSize(bool autoSize) override;
    int GetGLID() const override;
    std::vector<std::string> StringProperties() const override;
    std::string GetString(const std::string& name) const override;
    void SetString(const std::string& name, const std::string& value) override;
    std::vector<std::string> GetLines() const override;
    void SetLines(const std::vector<std::string>& lines) override;
    std::vector<std::string> GetItems() const override;
    void SetItems(const std::vector<std::string>& items) override;
    TControlFont GetFont() const override;
    void SetFont(const TControlFont& font) override;
    void RefreshLayout() override;

private:
    TControl* Control() const { return dynamic_cast<TControl*>(&FComponent); }
    TComponent& FComponent;
    std::vector<std::unique_ptr<TFormsControlView>> FChildren;
};

} // namespace zan
