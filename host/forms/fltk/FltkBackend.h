// The forms layer on FLTK 1.3 (Xft): one double-buffered window per top-level form; the
// model's controls paint themselves through an FLTK canvas, and mouse and keys go back to the
// model. The display is opened when the backend is made; without one, EFormsError.
#pragma once

namespace zan {

// Registers the "fltk" backend with the forms layer (ZAN_FORMS=fltk, the default).
void UseFltkBackend();
// True when an X display can be opened.
bool FltkDisplayAvailable();

} // namespace zan
