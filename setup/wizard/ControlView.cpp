#include "setup/wizard/ControlView.h"

#include <algorithm>

namespace zan {

TControlKind TFormsControlView::Kind() const {
    TComponent* c = &FComponent;
    if (dynamic_cast<TForm*>(c)) return ckForm;
    if (dynamic_cast<TImage*>(c)) return ckImage;
    if (dynamic_cast<TTranslateLabel*>(c)) return ckTranslateLabel;
    if (dynamic_cast<TLabel*>(c)) return ckLabel;
    if (dynamic_cast<TTranslateBitBtn*>(c)) return ckTranslateBitBtn;
    if (dynamic_cast<TMemo*>(c)) return ckMemo;
    if (dynamic_cast<TRadioGroup*>(c)) return ckRadioGroup;
    if (dynamic_cast<TWinControl*>(c)) return ckWinControl;
    if (dynamic_cast<TControl*>(c)) return ckControl;
    return ckComponent;
}

std::vector<TControlView*> TFormsControlView::Children() {
    std::vector<TComponent*> found;
    for (int i = 0; i < FComponent.ComponentCount(); ++i) found.push_back(FComponent.Components(i));
    if (auto* w = dynamic_cast<TWinControl*>(&FComponent))
        for (TControl* c : w->Controls())
            if (std::find(found.begin(), found.end(), c) == found.end()) found.push_back(c);
    FChildren.clear();
    std::vector<TControlView*> out;
    for (TComponent* c : found) {
        FChildren.push_back(std::make_unique<TFormsControlView>(*c));
        out.push_back(FChildren.back().get());
    }
    return out;
}

bool TFormsControlView::GetVisible() const { return Control() ? Control()->Visible : true; }
void TFormsControlView::SetVisible(bool visible) {
    if (TControl* c = Control()) {
        c->Visible = visible;
        c->Invalidate();
    }
}

bool TFormsControlView::GetAutoSize() const {
    auto* l = dynamic_cast<TLabel*>(&FComponent);
    return l && l->AutoSize;
}
void TFormsControlView::SetAutoSize(bool autoSize) {
    if (auto* l = dynamic_cast<TLabel*>(&FComponent)) l->AutoSize = autoSize;
}

int TFormsControlView::GetGLID() const { return Control() ? Control()->GLID : 0; }

std::vector<std::string> TFormsControlView::StringProperties() const {
    if (!Control()) return {"Name"};
    if (dynamic_cast<TEdit*>(&FComponent)) return {"Hint", "Name", "Text"};
    return {"Caption", "Hint", "Name"};
}

std::string TFormsControlView::GetString(const std::string& name) const {
    if (name == "Name") return FComponent.GetName();
    TControl* c = Control();
    if (!c) return "";
    if (name == "Caption" || name == "Text") return c->Caption;
    if (name == "Hint") return c->Hint;
    return "";
}

void TFormsControlView::SetString(const std::string& name, const std::string& value) {
    TControl* c = Control();
    if (!c || name == "Name") return;
    if (name == "Caption" || name == "Text") c->Caption = value;
    else if (name == "Hint") c->Hint = value;
    c->Invalidate();
}

std::vector<std::string> TFormsControlView::GetLines() const {
    auto* m = dynamic_cast<TMemo*>(&FComponent);
    return m ? m->Lines : std::vector<std::string>{};
}
void TFormsControlView::SetLines(const std::vector<std::string>& lines) {
    if (auto* m = dynamic_cast<TMemo*>(&FComponent)) m->Lines = lines;
}

std::vector<std::string> TFormsControlView::GetItems() const {
    auto* g = dynamic_cast<TRadioGroup*>(&FComponent);
    return g ? g->Items : std::vector<std::string>{};
}
void TFormsControlView::SetItems(const std::vector<std::string>& items) {
    if (auto* g = dynamic_cast<TRadioGroup*>(&FComponent)) g->Items = items;
}

TControlFont TFormsControlView::GetFont() const {
    TControl* c = Control();
    if (!c) return {};
    return {c->Font.Name, c->Font.Size, c->Font.Charset};
}
void TFormsControlView::SetFont(const TControlFont& font) {
    if (TControl* c = Control()) {
        c->Font.Name = font.Name;
        c->Font.Size = font.Size;
        c->Font.Charset = font.Charset;
        c->Invalidate();
    }
}

void TFormsControlView::RefreshLayout() {
    if (auto* w = dynamic_cast<TWinControl*>(&FComponent)) w->Realign();
}

} // namespace zan
