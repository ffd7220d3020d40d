// The metadata window: paints the list of fields from the document, follows
// the mouse, runs the one edit box, the "Add field" menu, the removal links
// and the save, and asks before unsaved changes are dropped. The list's
// geometry and document changes are plain functions (meta/rows.h).
#include "ui/metadata.h"

#include <commctrl.h>

#include <cmath>
#include <string>
#include <vector>

#include "meta/edit.h"
#include "meta/meta.h"
#include "meta/rows.h"
#include "platform/platform.h"
#include "ui/kit.h"

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;
using namespace kit::tool_palette;

constexpr ARGB COL_DIM = 0xFF4A5462;
constexpr ARGB COL_WARN = 0xFFE0B060;

constexpr COLORREF kMenuBack = 0x001C1410;
constexpr COLORREF kMenuText = 0x00F3EDE8;
constexpr COLORREF kMenuHotBack = 0x0042291F;
constexpr COLORREF kMenuHotText = 0x00FAA560;
constexpr COLORREF kEditBack = 0x002E1C14;

constexpr UINT kEndEditMessage = WM_APP + 10;
constexpr UINT_PTR kEditSubclass = 1;
constexpr std::int32_t kClientUnits = 680;

const wchar_t kClassName[] = L"NorvaneMetaWnd";
const wchar_t kTitle[] = L"Metadata";
const wchar_t kSavedStatus[] = L"Saved. The picture itself was not changed.";

HWND g_wnd = nullptr;
HWND g_owner = nullptr;
UINT g_dpi = 96;
bool g_classRegistered = false;
kit::BackBuffer g_buf;
kit::GdiObject g_editFont;
kit::GdiObject g_editBrush;

MetaDoc g_doc;
std::vector<Row> g_rows;
std::int32_t g_total = 8;
std::int32_t g_scroll = 0;
std::int32_t g_hotRow = -1;
std::int32_t g_hotPart = 0;
std::int32_t g_hotBtn = -1;
HWND g_edit = nullptr;
std::int32_t g_editField = -1;
bool g_editName = false;
bool g_committing = false;
bool g_dragThumb = false;
std::int32_t g_dragY = 0;
std::int32_t g_dragScroll = 0;
bool g_saved = false;
std::wstring g_status;

float Scale() { return static_cast<float>(g_dpi) / 96.0f; }
int Trunc(float units) { return static_cast<int>(units * Scale()); }

const MetaField* FieldAt(std::int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= g_doc.fields.size()) return nullptr;
  return &g_doc.fields[static_cast<std::size_t>(index)];
}

// The field of a row index of g_rows, or null for a heading or no row.
const MetaField* FieldOfRow(std::int32_t row) {
  if (row < 0 || static_cast<std::size_t>(row) >= g_rows.size()) return nullptr;
  return FieldAt(g_rows[static_cast<std::size_t>(row)].fieldIndex);
}

const Row* RowOfField(std::int32_t fieldIndex) {
  for (const Row& r : g_rows) {
    if (r.fieldIndex == fieldIndex) return &r;
  }
  return nullptr;
}

void Rebuild() { BuildRows(g_doc, &g_rows, &g_total, &g_scroll); }

// --- painting ------------------------------------------------------------------

kit::StringFormat RowFormat(StringAlignment align) {
  GpStringFormat* f = nullptr;
  if (GdipCreateStringFormat(StringFormatFlagsNoWrap, LANG_NEUTRAL, &f) != Ok) return {};
  GdipSetStringFormatTrimming(f, StringTrimmingEllipsisCharacter);
  GdipSetStringFormatLineAlign(f, StringAlignmentCenter);
  GdipSetStringFormatAlign(f, align);
  return kit::StringFormat(f);
}

void Text(GpGraphics* g, const std::wstring& text, const kit::Font& font, float x, float y, float w,
          float h, const kit::StringFormat& format, ARGB colour) {
  if (!font || text.empty()) return;
  kit::Brush brush = kit::SolidBrush(colour);
  const RectF r(x, y, w, h);
  GdipDrawString(g, text.c_str(), static_cast<INT>(text.size()), font.get(), &r, format.get(),
                 brush.get());
}

void Render() {
  if (!g_buf.dc) return;
  kit::Graphics graphics = kit::MakeGraphics(g_buf.dc, g_dpi);
  if (!graphics) return;
  GpGraphics* g = graphics.get();
  {
    kit::Brush panel = kit::SolidBrush(COL_PANEL);
    GdipFillRectangle(g, panel.get(), 0, 0, kClientUnits + 2, kClientUnits + 2);
  }
  kit::Font title = kit::MakeFont(19, FontStyleBold);
  kit::Font body = kit::MakeFont(12.5f, FontStyleRegular);
  kit::Font heading = kit::MakeFont(12.5f, FontStyleBold);
  kit::Font struck = kit::MakeFont(12.5f, FontStyleStrikeout);
  kit::Font small = kit::MakeFont(11.5f, FontStyleRegular);
  const kit::StringFormat row = RowFormat(StringAlignmentNear);
  const kit::StringFormat right = RowFormat(StringAlignmentFar);
  const kit::StringFormat centred = RowFormat(StringAlignmentCenter);

  GdipSetClipRectI(g, 0, kListTop, kClientUnits, kListHeight, CombineModeReplace);
  const std::int32_t bottom = kListTop + kListHeight;
  for (std::size_t i = FirstRowFrom(g_rows, g_scroll); i < g_rows.size(); ++i) {
    const Row& r = g_rows[i];
    const std::int32_t ry = kListTop + r.top - g_scroll;
    if (ry > bottom) break;
    const float y = static_cast<float>(ry), h = static_cast<float>(r.height);
    if (r.fieldIndex < 0) {
      Text(g, r.group, heading, 26, y + 8, 628, h - 8, row, COL_ACCENT);
      continue;
    }
    const MetaField& f = g_doc.fields[static_cast<std::size_t>(r.fieldIndex)];
    const bool hot = static_cast<std::int32_t>(i) == g_hotRow;
    const bool changed = meta_field_changed(f);
    const bool editing = g_edit && g_editField == r.fieldIndex;
    if (hot) kit::FillRound(g, 20, y, 630, h, 5, COL_ROWHOT);
    if (changed) {
      kit::Brush dot = kit::SolidBrush(f.removed ? COL_WARN : COL_ACCENT);
      GdipFillEllipse(g, dot.get(), 26, y + h / 2 - 2.5f, 5, 5);
    }
    if (!(editing && g_editName)) {
      Text(g, f.label, body, 38, y, 196, h, row, f.removed ? COL_DIM : COL_MUTED);
    }
    if (!(editing && !g_editName)) {
      if (f.removed) {
        Text(g, f.value, struck, 246, y, 340, h, row, COL_DIM);
      } else {
        const ARGB colour = changed ? COL_ICE : f.editable ? COL_TEXT : COL_MUTED;
        Text(g, f.value, body, 246, y, 340, h, row, colour);
      }
    }
    if (f.removable) {
      if (hot) {
        const ARGB idle = f.removed ? COL_WARN : COL_MUTED;
        Text(g, f.removed ? L"undo" : L"remove", small, 592, y, 54, h, right,
             g_hotPart == 3 ? COL_ICE : idle);
      } else if (f.removed) {
        Text(g, L"undo", small, 592, y, 54, h, right, COL_WARN);
      }
    }
  }
  GdipResetClip(g);

  const RowRect thumb = ThumbRect(g_total, g_scroll);
  if (!thumb.empty()) {
    kit::FillRound(g, static_cast<float>(thumb.left), static_cast<float>(thumb.top),
                   static_cast<float>(thumb.right - thumb.left),
                   static_cast<float>(thumb.bottom - thumb.top), 3,
                   g_dragThumb ? COL_ACCENT : COL_RULE);
  }
  if (title) {
    kit::Brush ice = kit::SolidBrush(COL_ICE);
    const RectF at(26, 20, 0, 0);
    GdipDrawString(g, kTitle, -1, title.get(), &at, nullptr, ice.get());
  }
  Text(g, FileLine(g_doc), body, 26, 48, 628, 22, row, COL_MUTED);
  if (!g_doc.note.empty()) Text(g, g_doc.note, small, 26, 68, 628, 22, row, COL_WARN);
  kit::Line(g, 26, 98, 654, 98, COL_RULE);
  kit::Line(g, 26, 614, 654, 614, COL_RULE);

  for (const MetaButton& b : kMetaButtons) {
    const RectF rect(static_cast<float>(b.left), static_cast<float>(kButtonTop),
                     static_cast<float>(b.width), static_cast<float>(kButtonHeight));
    if (BtnEnabled(g_doc, b.id)) {
      kit::DrawButton(g, rect, b.label, b.accent, g_hotBtn == b.id, body, COL_MUTED, COL_ICE,
                      COL_ROWHOT, COL_ACCENT, COL_ACCHOT);
    } else {
      kit::DrawDisabledButton(g, rect, b.label, b.accent, body, COL_DIM, COL_RULE);
    }
  }
  const std::int32_t changed = ChangedCount(g_doc);
  const std::wstring status = StatusText(changed, g_status);
  const ARGB statusColour = changed > 0 ? COL_WARN : COL_MUTED;
  Text(g, status, small, 342, static_cast<float>(kButtonTop), 108,
       static_cast<float>(kButtonHeight), centred, statusColour);
}

// Where the edit box lies for a row, in pixels: 3 units inside the row's top
// and bottom, over the label column (38 … 234) or the value column
// (246 … 586).
RECT EditRect(const Row& r, bool byName) {
  const float x = byName ? 35.0f : 243.0f, w = byName ? 202.0f : 346.0f;
  const int top = Trunc(static_cast<float>(r.top - g_scroll + kListTop + 3));
  const int left = Trunc(x);
  return RECT{left, top, left + Trunc(w), top + Trunc(static_cast<float>(r.height - 6))};
}

// Gives the open edit box the current font and margins.
void StyleEdit() {
  SendMessageW(g_edit, WM_SETFONT, reinterpret_cast<WPARAM>(g_editFont.get()), TRUE);
  const int margin = kit::CeilPx(3, g_dpi);
  SendMessageW(g_edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(margin, margin));
}

// Puts the open edit box over its row at the current DPI and scroll, with
// the current font; hidden while its row is scrolled out of the list.
void PlaceEdit() {
  if (!g_edit) return;
  const Row* r = RowOfField(g_editField);
  if (!r) return;
  const RECT rc = EditRect(*r, g_editName);
  MoveWindow(g_edit, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, TRUE);
  StyleEdit();
  const std::int32_t ry = r->top - g_scroll + kListTop;
  const bool inside = ry >= kListTop && ry + r->height <= kListTop + kListHeight;
  ShowWindow(g_edit, inside ? SW_SHOWNA : SW_HIDE);
}

void Repaint(HWND hwnd) {
  Render();
  InvalidateRect(hwnd, nullptr, FALSE);
}

// The back buffer and the edit font for the current DPI. The open edit box
// is given the new font before the old one is deleted.
void MakeBuffer(HWND hwnd) {
  const int side = kit::CeilPx(static_cast<float>(kClientUnits), g_dpi);
  g_buf.Make(hwnd, side, side);
  kit::GdiObject font(CreateFontW(-MulDiv(13, static_cast<int>(g_dpi), 96), 0, 0, 0, FW_NORMAL,
                                  FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH,
                                  L"Segoe UI"));
  std::swap(g_editFont, font);
  PlaceEdit();
}

// --- the edit box ------------------------------------------------------------------

LRESULT CALLBACK EditProc(HWND edit, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  switch (msg) {
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;
    case WM_KEYDOWN:
      if (wp == VK_TAB || wp == VK_RETURN) {
        PostMessageW(GetParent(edit), kEndEditMessage, 1, 0);
        return 0;
      }
      if (wp == VK_ESCAPE) {
        PostMessageW(GetParent(edit), kEndEditMessage, 0, 0);
        return 0;
      }
      break;
    case WM_CHAR:
      if (wp == 9 || wp == 13 || wp == 27) return 0;
      break;
    case WM_KILLFOCUS:
      PostMessageW(GetParent(edit), kEndEditMessage, 1, 0);
      break;
    default:
      break;
  }
  return DefSubclassProc(edit, msg, wp, lp);
}

std::wstring EditText() {
  const int n = GetWindowTextLengthW(g_edit);
  std::wstring text(static_cast<std::size_t>(n > 0 ? n : 0) + 1, L'\0');
  const int got = GetWindowTextW(g_edit, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

void EndEdit(HWND hwnd, bool commit) {
  if (!g_edit || g_committing) return;
  g_committing = true;
  if (commit && FieldAt(g_editField)) {
    MetaField& f = g_doc.fields[static_cast<std::size_t>(g_editField)];
    const std::wstring text = EditText();
    if (g_editName) {
      RenameField(&f, text);
    } else {
      wchar_t err[512] = L"";
      if (!meta_validate(f, text, err, 512)) {
        const std::wstring message = RefusedValueMessage(text, f.label, err);
        MessageBoxW(hwnd, message.c_str(), kTitle, MB_ICONWARNING);
        SetFocus(g_edit);
        g_committing = false;
        return;
      }
      f.value = text;
    }
  }
  HWND edit = g_edit;
  g_edit = nullptr;
  g_editField = -1;
  RemoveWindowSubclass(edit, EditProc, kEditSubclass);
  DestroyWindow(edit);
  g_status.clear();
  SetFocus(hwnd);
  Repaint(hwnd);
  g_committing = false;
}

void BeginEdit(HWND hwnd, std::int32_t fieldIndex, bool byName) {
  if (g_edit) {
    EndEdit(hwnd, true);
    if (g_edit) return;
  }
  const MetaField* f = FieldAt(fieldIndex);
  if (!f || f->removed || (byName && !f->renamable) || (!byName && !f->editable)) return;
  const Row* r = RowOfField(fieldIndex);
  if (!r) return;
  g_scroll = ScrollToShow(*r, g_scroll, g_total);
  g_editField = fieldIndex;
  g_editName = byName;
  const RECT rc = EditRect(*r, byName);
  const std::wstring& text = byName ? f->label : f->value;
  g_edit = CreateWindowExW(0, L"EDIT", text.c_str(), WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL,
                           rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, hwnd, nullptr,
                           reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd, GWLP_HINSTANCE)),
                           nullptr);
  if (!g_edit) {
    g_editField = -1;
    return;
  }
  StyleEdit();
  SendMessageW(g_edit, EM_LIMITTEXT, byName ? 79 : 32000, 0);
  SetWindowSubclass(g_edit, EditProc, kEditSubclass, 0);
  SendMessageW(g_edit, EM_SETSEL, 0, -1);
  SetFocus(g_edit);
  Repaint(hwnd);
}

void ScrollBy(HWND hwnd, std::int64_t delta) {
  if (g_edit) EndEdit(hwnd, true);
  const std::int32_t v = ClampScroll(g_total, g_scroll + delta);
  if (v == g_scroll) return;
  g_scroll = v;
  PlaceEdit();
  Repaint(hwnd);
}

// --- commands ------------------------------------------------------------------------

class WaitCursor {
 public:
  WaitCursor() : old_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(old_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR old_;
};

void DoSave(HWND hwnd) {
  if (g_edit) {
    EndEdit(hwnd, true);
    if (g_edit) return;
  }
  if (!g_doc.editable || !meta_dirty(g_doc)) return;
  wchar_t err[512] = {};
  bool ok = false;
  {
    WaitCursor wait;
    ok = meta_save(g_doc, err, 512);
  }
  if (!ok) {
    MessageBoxW(hwnd, err, kTitle, MB_ICONWARNING);
    return;
  }
  g_saved = true;
  const std::int32_t scroll = g_scroll;
  const std::wstring path = g_doc.path;
  {
    WaitCursor wait;
    meta_load(path, &g_doc);
  }
  g_hotRow = -1;
  g_hotPart = 0;
  g_scroll = 0;
  Rebuild();
  g_scroll = ClampScroll(g_total, scroll);
  g_status = kSavedStatus;
  Repaint(hwnd);
}

void ShowAddMenu(HWND hwnd) {
  const MetaPreset* presets = nullptr;
  const std::int32_t n = meta_presets(g_doc, &presets);
  if (n <= 0) return;
  struct MenuTraits {
    using Type = HMENU;
    static HMENU Invalid() { return nullptr; }
    static void Release(HMENU m) { DestroyMenu(m); }
  };
  Owned<MenuTraits> menu(CreatePopupMenu());
  if (!menu) return;
  for (std::int32_t k = 0; k < n; ++k) {
    AppendMenuW(menu.get(), MF_OWNERDRAW, static_cast<UINT_PTR>(k + 1),
                reinterpret_cast<const wchar_t*>(presets[k].label));
  }
  kit::GdiObject back(CreateSolidBrush(kMenuBack));
  MENUINFO info{};
  info.cbSize = sizeof info;
  info.fMask = MIM_BACKGROUND;
  info.hbrBack = static_cast<HBRUSH>(back.get());
  SetMenuInfo(menu.get(), &info);
  POINT at{Trunc(26), Trunc(static_cast<float>(kButtonTop))};
  ClientToScreen(hwnd, &at);
  const int k = static_cast<int>(
      TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_BOTTOMALIGN, at.x, at.y, 0, hwnd, nullptr));
  menu.reset();
  if (k < 1 || k > n) return;
  bool byName = false;
  const std::int32_t i = AddFromPreset(&g_doc, presets[k - 1], &byName);
  Rebuild();
  Repaint(hwnd);
  if (i >= 0) BeginEdit(hwnd, i, byName);
}

void OnButton(HWND hwnd, std::int32_t id) {
  if (!BtnEnabled(g_doc, id)) return;
  if (g_edit) {
    EndEdit(hwnd, true);
    if (g_edit) return;
  }
  switch (id) {
    case kBtnAddField:
      ShowAddMenu(hwnd);
      break;
    case kBtnRemoveGps:
      meta_remove_gps(&g_doc);
      Rebuild();
      Repaint(hwnd);
      break;
    case kBtnRemoveAll:
      meta_remove_all(&g_doc);
      Rebuild();
      Repaint(hwnd);
      break;
    case kBtnSave:
      DoSave(hwnd);
      break;
    case kBtnClose:
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
      break;
    default:
      break;
  }
}

void OnLButtonDown(HWND hwnd, LPARAM lp) {
  const POINT p = kit::MouseUnits(lp, g_dpi);
  const std::int32_t x = p.x, y = p.y;
  const RowRect thumb = ThumbRect(g_total, g_scroll);
  if (!thumb.empty() && x >= thumb.left - 6 && x < thumb.right + 6 && y >= thumb.top &&
      y < thumb.bottom) {
    if (g_edit) EndEdit(hwnd, true);
    g_dragY = y;
    g_dragScroll = g_scroll;
    g_dragThumb = true;
    SetCapture(hwnd);
    Repaint(hwnd);
    return;
  }
  const std::int32_t button = HitButton(x, y);
  if (button != -1) {
    OnButton(hwnd, button);
    return;
  }
  std::int32_t part = 0;
  const std::int32_t row = HitRow(g_rows, g_scroll, x, y, &part);
  if (row == -1) {
    if (g_edit) EndEdit(hwnd, true);
    return;
  }
  const std::int32_t field = g_rows[static_cast<std::size_t>(row)].fieldIndex;
  if (part == 3) {
    if (g_edit) {
      EndEdit(hwnd, true);
      if (g_edit) return;
    }
    if (ToggleRemoval(&g_doc, field)) {
      Rebuild();
      Repaint(hwnd);
    }
    return;
  }
  BeginEdit(hwnd, field, part == 1);
}

void OnMouseMove(HWND hwnd, LPARAM lp) {
  const POINT p = kit::MouseUnits(lp, g_dpi);
  if (g_dragThumb) {
    const RowRect t = ThumbRect(g_total, g_scroll);
    const std::int32_t v = DragScroll(g_total, g_dragScroll, g_dragY, p.y, t.bottom - t.top);
    if (v != g_scroll) {
      g_scroll = v;
      PlaceEdit();
      Repaint(hwnd);
    }
    return;
  }
  TRACKMOUSEEVENT tme{};
  tme.cbSize = sizeof tme;
  tme.dwFlags = TME_LEAVE;
  tme.hwndTrack = hwnd;
  TrackMouseEvent(&tme);
  std::int32_t part = 0;
  const std::int32_t row = HitRow(g_rows, g_scroll, p.x, p.y, &part);
  const std::int32_t button = HitButton(p.x, p.y);
  if (row != g_hotRow || part != g_hotPart || button != g_hotBtn) {
    g_hotRow = row;
    g_hotPart = part;
    g_hotBtn = button;
    Repaint(hwnd);
  }
}

bool OnSetCursor(LPARAM lp) {
  if (LOWORD(lp) != HTCLIENT) return false;
  const MetaField* f = FieldOfRow(g_hotRow);
  if (!f) return false;
  const wchar_t* id = nullptr;
  if (f->removed) {
    if (g_hotPart == 3 && f->removable) id = IDC_HAND;
  } else if (g_hotPart == 2 && f->editable) {
    id = IDC_IBEAM;
  } else if (g_hotPart == 1 && f->renamable) {
    id = IDC_IBEAM;
  } else if (g_hotPart == 3 && f->removable) {
    id = IDC_HAND;
  }
  if (!id) return false;
  SetCursor(LoadCursorW(nullptr, id));
  return true;
}

void OnClose(HWND hwnd) {
  if (g_edit) {
    EndEdit(hwnd, true);
    if (g_edit) return;
  }
  if (g_doc.editable && meta_dirty(g_doc)) {
    const int answer = MessageBoxW(hwnd, L"Save the changes to this file's metadata?", kTitle,
                                   MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer != IDYES && answer != IDNO) return;
    if (answer == IDYES) {
      DoSave(hwnd);
      if (meta_dirty(g_doc)) return;
    }
  }
  EnableWindow(g_owner, TRUE);
  DestroyWindow(hwnd);
}

void OnKey(HWND hwnd, WPARAM key) {
  switch (key) {
    case VK_ESCAPE:
      PostMessageW(hwnd, WM_CLOSE, 0, 0);
      break;
    case VK_PRIOR:
      ScrollBy(hwnd, -480);
      break;
    case VK_NEXT:
      ScrollBy(hwnd, 480);
      break;
    case VK_HOME:
      ScrollBy(hwnd, -static_cast<std::int64_t>(g_total));
      break;
    case VK_END:
      ScrollBy(hwnd, g_total);
      break;
    case VK_UP:
      ScrollBy(hwnd, -26);
      break;
    case VK_DOWN:
      ScrollBy(hwnd, 26);
      break;
    case 'S':
      if (GetKeyState(VK_CONTROL) < 0) DoSave(hwnd);
      break;
    default:
      break;
  }
}

// The owner-drawn "Add field" items carry their label as item data.
LRESULT OnMeasureItem(HWND hwnd, MEASUREITEMSTRUCT* mi) {
  if (mi->CtlType != ODT_MENU || !mi->itemData) return FALSE;
  const wchar_t* label = reinterpret_cast<const wchar_t*>(mi->itemData);
  HDC dc = GetDC(hwnd);
  if (!dc) return FALSE;
  HGDIOBJ old = SelectObject(dc, g_editFont.get());
  SIZE size{};
  GetTextExtentPoint32W(dc, label, static_cast<int>(wcslen(label)), &size);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  mi->itemWidth = static_cast<UINT>(size.cx + kit::CeilPx(40, g_dpi));
  mi->itemHeight = static_cast<UINT>(size.cy + kit::CeilPx(10, g_dpi));
  return TRUE;
}

LRESULT OnDrawItem(DRAWITEMSTRUCT* di) {
  if (di->CtlType != ODT_MENU || !di->itemData) return FALSE;
  const bool selected = (di->itemState & (ODS_SELECTED | ODS_HOTLIGHT)) != 0;
  kit::GdiObject fill(CreateSolidBrush(selected ? kMenuHotBack : kMenuBack));
  FillRect(di->hDC, &di->rcItem, static_cast<HBRUSH>(fill.get()));
  SetBkMode(di->hDC, TRANSPARENT);
  SetTextColor(di->hDC, selected ? kMenuHotText : kMenuText);
  HGDIOBJ old = SelectObject(di->hDC, g_editFont.get());
  RECT r = di->rcItem;
  r.left += kit::CeilPx(16, g_dpi);
  DrawTextW(di->hDC, reinterpret_cast<const wchar_t*>(di->itemData), -1, &r,
            DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  SelectObject(di->hDC, old);
  return TRUE;
}

// --- the test query ------------------------------------------------------------------

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\\') {
      out += L"\\\\";
    } else if (c == L'\t') {
      out += L"\\t";
    } else if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else {
      out += c;
    }
  }
  return out;
}

bool WriteState(const std::wstring& path) {
  std::wstring s;
  s += L"file\t" + Escaped(FileLine(g_doc)) + L"\n";
  s += L"note\t" + Escaped(g_doc.note) + L"\n";
  s += L"status\t" + Escaped(StatusText(g_doc, g_status)) + L"\n";
  s += L"scroll\t" + Num(g_scroll) + L"\t" + Num(g_total) + L"\n";
  // Whether the edit box draws with the window's current font.
  const bool currentFont = g_edit && reinterpret_cast<HGDIOBJ>(SendMessageW(g_edit, WM_GETFONT, 0,
                                                                            0)) == g_editFont.get();
  s += L"edit\t" + Num(g_edit ? g_editField : -1) + L"\t" + (g_editName ? L"1" : L"0") + L"\t" +
       (g_edit ? Escaped(EditText()) : std::wstring()) + L"\t" + (currentFont ? L"1" : L"0") +
       L"\n";
  s += L"hot\t" + Num(g_hotRow) + L"\t" + Num(g_hotPart) + L"\t" + Num(g_hotBtn) + L"\n";
  for (const MetaButton& b : kMetaButtons) {
    s += L"btn\t" + Num(b.id) + L"\t" + (BtnEnabled(g_doc, b.id) ? L"1" : L"0") + L"\n";
  }
  for (const Row& r : g_rows) {
    if (r.fieldIndex < 0) {
      s += L"H\t" + Num(r.top) + L"\t" + Escaped(r.group) + L"\n";
      continue;
    }
    const MetaField& f = g_doc.fields[static_cast<std::size_t>(r.fieldIndex)];
    std::wstring flags;
    if (f.editable) flags += L'e';
    if (f.renamable) flags += L'n';
    if (f.removable) flags += L'r';
    if (f.removed) flags += L'x';
    if (f.added) flags += L'a';
    if (meta_field_changed(f)) flags += L'c';
    s += L"F\t" + Num(r.top) + L"\t" + Num(r.fieldIndex) + L"\t" + Escaped(f.group) + L"\t" +
         Escaped(f.label) + L"\t" + Escaped(f.value) + L"\t" + flags + L"\n";
  }
  const std::string bytes = ToUtf8(s);
  return platform::WriteAtomically(path, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size()) == platform::AtomicResult::Ok;
}

LRESULT OnCopyData(const COPYDATASTRUCT* cds) {
  if (!cds || cds->dwData != kMetaStateQuery || !cds->lpData || cds->cbData % 2 != 0 ||
      cds->cbData > 65536) {
    return FALSE;
  }
  const wchar_t* chars = static_cast<const wchar_t*>(cds->lpData);
  std::wstring path(chars, cds->cbData / 2);
  while (!path.empty() && path.back() == L'\0') path.pop_back();
  return WriteState(path) ? TRUE : FALSE;
}

LRESULT CALLBACK MetaProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      kit::ApplyDarkTitleBar(hwnd);
      g_editBrush = kit::GdiObject(CreateSolidBrush(kEditBack));
      MakeBuffer(hwnd);
      Render();
      return 0;
    case WM_DESTROY:
      g_buf.Release();
      g_edit = nullptr;
      g_editFont.reset();
      g_editBrush.reset();
      g_wnd = nullptr;
      return 0;
    case WM_PAINT:
      g_buf.Paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CLOSE:
      OnClose(hwnd);
      return 0;
    case WM_SETCURSOR:
      if (OnSetCursor(lp)) return TRUE;
      break;
    case WM_MEASUREITEM:
      return OnMeasureItem(hwnd, reinterpret_cast<MEASUREITEMSTRUCT*>(lp));
    case WM_DRAWITEM:
      return OnDrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lp));
    case WM_CTLCOLOREDIT: {
      HDC dc = reinterpret_cast<HDC>(wp);
      SetTextColor(dc, kMenuText);
      SetBkColor(dc, kEditBack);
      return reinterpret_cast<LRESULT>(g_editBrush.get());
    }
    case WM_KEYDOWN:
      OnKey(hwnd, wp);
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove(hwnd, lp);
      return 0;
    case WM_LBUTTONDOWN:
      OnLButtonDown(hwnd, lp);
      return 0;
    case WM_LBUTTONUP:
      if (g_dragThumb) {
        g_dragThumb = false;
        ReleaseCapture();
        Repaint(hwnd);
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (g_dragThumb) {
        g_dragThumb = false;
        Repaint(hwnd);
      }
      return 0;
    case WM_MOUSEWHEEL:
      ScrollBy(hwnd, WheelUnits(static_cast<short>(HIWORD(wp))));
      return 0;
    case WM_MOUSELEAVE:
      if (g_hotRow != -1 || g_hotBtn != -1) {
        g_hotRow = -1;
        g_hotPart = 0;
        g_hotBtn = -1;
        Repaint(hwnd);
      }
      return 0;
    case WM_DPICHANGED: {
      if (g_edit) EndEdit(hwnd, true);
      g_dpi = HIWORD(wp);
      const RECT* r = reinterpret_cast<const RECT*>(lp);
      SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      MakeBuffer(hwnd);
      Repaint(hwnd);
      return 0;
    }
    case kEndEditMessage:
      EndEdit(hwnd, wp != 0);
      return 0;
    case WM_COPYDATA:
      return OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lp));
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

bool metadata_show(HWND owner, const wchar_t* path) {
  if (g_wnd) {
    SetForegroundWindow(g_wnd);
    return false;
  }
  if (!kit::RegisterToolClass(kClassName, MetaProc, owner, &g_classRegistered)) return false;
  {
    WaitCursor wait;
    meta_load(path ? path : L"", &g_doc);
  }
  g_owner = owner;
  g_dpi = GetDpiForWindow(owner);
  if (g_dpi == 0) g_dpi = 96;
  g_scroll = 0;
  g_hotRow = -1;
  g_hotPart = 0;
  g_hotBtn = -1;
  g_status.clear();
  g_edit = nullptr;
  g_editField = -1;
  g_committing = false;
  g_saved = false;
  g_dragThumb = false;
  Rebuild();
  const int side = kit::CeilPx(static_cast<float>(kClientUnits), g_dpi);
  g_wnd = kit::CreateToolWindow(kClassName, kTitle, owner, g_dpi, side, side);
  if (g_wnd) kit::RunModal(owner, &g_wnd);
  g_doc = MetaDoc();
  g_rows.clear();
  g_owner = nullptr;
  return g_saved;
}
