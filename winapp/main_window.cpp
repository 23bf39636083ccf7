#include "winapp/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "platform/paths.h"
#include "platform/win32/win32_text.h"
#include "winapp/close_code_dialog.h"
#include "winapp/control_ids.h"

namespace orvent {
namespace {

// The client area, in pixels at 96 dpi: fixed, as the Qt window's is.
constexpr int kClientWidth = 700;
constexpr int kHeaderHeight = 44;
constexpr int kMargin = 8;
constexpr int kPageButtonsTop = kHeaderHeight + 6;
constexpr int kPageButtonWidth = 110;
constexpr int kPageButtonHeight = 28;
// The verdict's band and the last warning under it, on every page.
constexpr int kHealthTop = kPageButtonsTop + kPageButtonHeight + 8;
constexpr int kHealthHeight = 48;
constexpr int kWarningTop = kHealthTop + kHealthHeight + 4;
constexpr int kWarningHeight = 30;
constexpr int kPageTop = kWarningTop + kWarningHeight + 6;
constexpr int kClientHeight = kPageTop + 318;
// A link picture's column: the picture, its name under it in two lines.
constexpr int kIndicatorColumn = 150;
constexpr int kCaptionHeight = 36;
constexpr int kFieldLabelLeft = 2 * kIndicatorColumn + 4 * kMargin;
constexpr int kFieldLabelWidth = 190;
constexpr int kFieldValueWidth = 170;
constexpr int kFieldHeight = 18;
constexpr int kFieldStep = 21;
constexpr int kUnacknowledgedTop = kPageTop + 150;
constexpr int kStatusTop = kUnacknowledgedTop + kFieldStep + 2;
constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT kTrayId = 1;

const COLORREF kHeaderColour = RGB(44, 84, 140);

COLORREF ColourRef(HealthLevel level) {
  const Rgb c = ColourOf(level);
  return RGB(c.Red, c.Green, c.Blue);
}

// The controls of each page, shown with their page.
constexpr int kStatePageControls[] = {IDC_RECEIVER_PICTURE, IDC_SERVER_PICTURE, IDC_STARTED_AT,
                                      IDC_CLOSE_CODE,       IDC_WAITING,        IDC_OLDEST_WAITING,
                                      IDC_LAST_ACKNOWLEDGED, IDC_LAST_CONFIRMED, IDC_UNACKNOWLEDGED,
                                      IDC_STATUS_LIST};
constexpr int kSetupPageControls[] = {IDC_PORT_LIST, IDC_START_STOP, IDC_RESCAN};
// Labels and captions carry ids of their value plus this, so that they go with their page.
constexpr int kLabelOffset = 100;
constexpr int kPortGroup = IDC_PORT_LIST + kLabelOffset;

// Echoed on standard error with its time, so that a run can be followed
// where no one sees the window.
void EchoLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// The picture's cells, scaled, on a device context.
void PaintLinkPicture(HDC dc, const RECT& area, const winface::LinkPicture& picture) {
  const HBRUSH white = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  ::FillRect(dc, &area, white);
  const int scale_x = (area.right - area.left) / winface::kPictureColumns;
  const int scale_y = (area.bottom - area.top) / winface::kPictureRows;
  const HBRUSH colour = ::CreateSolidBrush(ColourRef(picture.Level));
  for (const winface::Cells& c : picture.Coloured) {
    const RECT cells{area.left + c.Column * scale_x, area.top + c.Row * scale_y,
                     area.left + (c.Column + c.Columns) * scale_x, area.top + (c.Row + c.Rows) * scale_y};
    ::FillRect(dc, &cells, colour);
  }
  ::DeleteObject(colour);
}

// The program's icon: the link picture of a link that is up, `size` pixels square.
HICON MakeIcon(int size) {
  const HDC screen = ::GetDC(nullptr);
  const HDC dc = ::CreateCompatibleDC(screen);
  const HBITMAP colour = ::CreateCompatibleBitmap(screen, size, size);
  const HBITMAP mask = ::CreateBitmap(size, size, 1, 1, nullptr);
  const HGDIOBJ old = ::SelectObject(dc, colour);
  const RECT all{0, 0, size, size};
  ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  const int height = size * winface::kPictureRows / winface::kPictureColumns;
  const RECT picture{0, (size - height) / 2, size, (size - height) / 2 + height};
  PaintLinkPicture(dc, picture, winface::LinkPictureOf(HealthLevel::Working, 0));
  ::SelectObject(dc, mask);
  ::PatBlt(dc, 0, 0, size, size, BLACKNESS);  // opaque everywhere
  ::SelectObject(dc, old);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = mask;
  const HICON icon = ::CreateIconIndirect(&info);
  ::DeleteObject(colour);
  ::DeleteObject(mask);
  ::DeleteDC(dc);
  ::ReleaseDC(nullptr, screen);
  return icon;
}

HFONT MessageFont(bool bold) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  LOGFONTW font = metrics.lfMessageFont;
  if (bold) font.lfWeight = FW_BOLD;
  return ::CreateFontIndirectW(&font);
}

std::string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  ::GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return Narrow(text);
}

void SetText(HWND control, const std::string& text) { ::SetWindowTextW(control, Widen(text).c_str()); }

}  // namespace

DriverWindow::DriverWindow(HINSTANCE instance, PollEventLoop& loop) : instance_(instance), loop_(loop) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);
  font_ = MessageFont(false);
  bold_ = MessageFont(true);
  LOGFONTW header{};
  ::GetObjectW(bold_, sizeof(header), &header);
  header.lfHeight = -16;
  header_font_ = ::CreateFontIndirectW(&header);
  icon_ = MakeIcon(::GetSystemMetrics(SM_CXICON));
  small_icon_ = MakeIcon(::GetSystemMetrics(SM_CXSMICON));
  // Sent to every top-level window when the taskbar starts (again): the
  // notification-area icon is then added anew.
  taskbar_created_ = ::RegisterWindowMessageW(L"TaskbarCreated");

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = &DriverWindow::Procedure;
  window_class.hInstance = instance_;
  window_class.hIcon = icon_;
  window_class.hIconSm = small_icon_;
  window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
  window_class.lpszClassName = ORVENT_WINDOW_CLASS;
  ::RegisterClassExW(&window_class);

  // Fixed in size; the controls are laid out as a dialog's (Tab moves
  // between them through the loop's dialog navigation).
  constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, WS_EX_CONTROLPARENT);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  window_ = ::CreateWindowExW(WS_EX_CONTROLPARENT, ORVENT_WINDOW_CLASS, Widen(kWindowTitle).c_str(), kStyle,
                              std::max(x, 0), std::max(y, 0), width, height, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) throw std::runtime_error("the window cannot be made");
  BuildControls();
  ShowPage(false);

  StationEnvironment env;
  env.WorkDir = CurrentDirectory();
  env.Loop = &loop_;
  env.clock = &clock_;
  station_ = std::make_unique<Station>(std::move(env), *this);
}

DriverWindow::~DriverWindow() {
  closing_ = true;
  if (station_) {
    try {
      station_->End();
    } catch (const std::exception& e) {
      EchoLine(e.what());
    }
  }
  RemoveTrayIcon();
  notice_.Close();
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
  for (HGDIOBJ font : {font_, bold_, header_font_}) ::DeleteObject(font);
  ::DestroyIcon(icon_);
  ::DestroyIcon(small_icon_);
}

bool DriverWindow::Start(int show) {
  bool started = true;
  Guarded([&] { started = station_->Start(); });
  if (!started && !station_->Refusal().empty()) {
    // Another program works in this folder: this one shows why and ends.
    ::MessageBoxW(nullptr, Widen(station_->Refusal()).c_str(), Widen(kWindowTitle).c_str(), MB_OK | MB_ICONERROR);
    return false;
  }
  ::ShowWindow(window_, show);
  ::UpdateWindow(window_);
  AddTrayIcon();
  return true;
}

template <typename F>
void DriverWindow::Guarded(F&& command) {
  // A failure of a command is the operator's to see, not the end of the program.
  try {
    command();
  } catch (const std::exception& e) {
    ShowFailure(e.what());
  }
}

HWND DriverWindow::AddControl(const wchar_t* window_class, const std::string& text, DWORD style, int x, int y,
                              int width, int height, int id, HFONT font) {
  const HWND control =
      ::CreateWindowExW(0, window_class, Widen(text).c_str(), WS_CHILD | style, x, y, width, height, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

void DriverWindow::BuildControls() {
  // The verdict, drawn on its colour, and the last warning: on every page.
  AddControl(L"STATIC", "", WS_VISIBLE | SS_OWNERDRAW, kMargin, kHealthTop, kClientWidth - 2 * kMargin, kHealthHeight,
             IDC_HEALTH, bold_);
  AddControl(L"STATIC", "", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, kMargin, kWarningTop, kClientWidth - 2 * kMargin,
             kWarningHeight, IDC_LAST_WARNING, font_);

  // The page buttons: two push-like radio buttons, the state page's first.
  AddControl(L"BUTTON", kPageState, WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON | BS_PUSHLIKE, kMargin,
             kPageButtonsTop, kPageButtonWidth, kPageButtonHeight, IDC_PAGE_STATE, font_);
  AddControl(L"BUTTON", kPageSetup, WS_VISIBLE | BS_AUTORADIOBUTTON | BS_PUSHLIKE,
             kMargin + kPageButtonWidth + kMargin, kPageButtonsTop, kPageButtonWidth, kPageButtonHeight,
             IDC_PAGE_SETUP, font_);
  ::CheckRadioButton(window_, IDC_PAGE_STATE, IDC_PAGE_SETUP, IDC_PAGE_STATE);

  // The state page: the two links side by side, each picture above its name.
  const std::pair<int, const char*> links[] = {{IDC_RECEIVER_PICTURE, kLabelReceiverLink},
                                               {IDC_SERVER_PICTURE, kLabelServerLink}};
  for (int i = 0; i < 2; ++i) {
    const int left = kMargin + i * (kIndicatorColumn + kMargin);
    AddControl(L"STATIC", "", SS_OWNERDRAW, left + (kIndicatorColumn - winface::kPictureWidth) / 2, kPageTop,
               winface::kPictureWidth, winface::kPictureHeight, links[i].first, font_);
    AddControl(L"STATIC", links[i].second, SS_CENTER, left, kPageTop + winface::kPictureHeight + 4,
               kIndicatorColumn, kCaptionHeight, links[i].first + kLabelOffset, font_);
  }
  // The start, the close code, and below them the backlog.
  const std::pair<int, const char*> fields[] = {
      {IDC_STARTED_AT, kLabelStartedAt},     {IDC_CLOSE_CODE, kLabelCloseCode},
      {0, nullptr},                          {IDC_WAITING, kLabelWaiting},
      {IDC_OLDEST_WAITING, kLabelOldestWaiting}, {IDC_LAST_ACKNOWLEDGED, kLabelLastAcknowledged},
      {IDC_LAST_CONFIRMED, kLabelLastConfirmed}};
  int top = kPageTop;
  for (const auto& [id, label] : fields) {
    if (id != 0) {
      AddControl(L"STATIC", label, SS_LEFT, kFieldLabelLeft, top, kFieldLabelWidth, kFieldHeight,
                 id + kLabelOffset, font_);
      AddControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX, kFieldLabelLeft + kFieldLabelWidth, top, kFieldValueWidth,
                 kFieldHeight, id, bold_);
    }
    top += id != 0 ? kFieldStep : kFieldStep / 2;
  }
  AddControl(L"STATIC", "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kMargin, kUnacknowledgedTop,
             kClientWidth - 2 * kMargin, kFieldHeight, IDC_UNACKNOWLEDGED, font_);
  AddControl(L"LISTBOX", "", WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, kMargin,
             kStatusTop, kClientWidth - 2 * kMargin, kClientHeight - kStatusTop - kMargin, IDC_STATUS_LIST, font_);

  // The setup page: the port list with its two commands.
  AddControl(L"BUTTON", kLabelPortGroup, BS_GROUPBOX, kMargin, kPageTop, kClientWidth - 2 * kMargin, 64, kPortGroup,
             font_);
  const HWND ports = AddControl(WC_COMBOBOXW, "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
                                2 * kMargin, kPageTop + 24, 260, 200, IDC_PORT_LIST, font_);
  // The list may show a port name that no scan found (the configured one),
  // so it has a field, which nobody types into.
  COMBOBOXINFO info{};
  info.cbSize = sizeof(info);
  if (::GetComboBoxInfo(ports, &info) && info.hwndItem != nullptr) {
    ::SendMessageW(info.hwndItem, EM_SETREADONLY, TRUE, 0);
  }
  AddControl(L"BUTTON", "", WS_TABSTOP | BS_PUSHBUTTON, 2 * kMargin + 272, kPageTop + 22, 140, 26, IDC_START_STOP,
             font_);
  AddControl(L"BUTTON", kCommandRescan, WS_TABSTOP | BS_PUSHBUTTON, 2 * kMargin + 424, kPageTop + 22, 180, 26,
             IDC_RESCAN, font_);
}

void DriverWindow::ShowPage(bool setup) {
  setup_page_ = setup;
  const auto show = [&](int id, bool visible) {
    ::ShowWindow(::GetDlgItem(window_, id), visible ? SW_SHOW : SW_HIDE);
    if (const HWND label = ::GetDlgItem(window_, id + kLabelOffset)) ::ShowWindow(label, visible ? SW_SHOW : SW_HIDE);
  };
  for (int id : kStatePageControls) show(id, !setup);
  for (int id : kSetupPageControls) show(id, setup);
  ::CheckRadioButton(window_, IDC_PAGE_STATE, IDC_PAGE_SETUP, setup ? IDC_PAGE_SETUP : IDC_PAGE_STATE);
}

void DriverWindow::ShowView(const StationView& view) {
  if (window_ == nullptr) return;
  const winface::ViewChanges changes = winface::ChangesBetween(drawn_, view);
  if (changes.PortCommand) SetText(::GetDlgItem(window_, IDC_START_STOP), view.PortCommand);
  if (changes.PortChoiceOpen) {
    ::EnableWindow(::GetDlgItem(window_, IDC_RESCAN), view.PortChoiceOpen);
    ::EnableWindow(::GetDlgItem(window_, IDC_PORT_LIST), view.PortChoiceOpen);
  }
  const HWND ports = ::GetDlgItem(window_, IDC_PORT_LIST);
  if (changes.PortChoices) {
    ::SendMessageW(ports, CB_RESETCONTENT, 0, 0);
    for (const std::string& port : view.PortChoices) {
      ::SendMessageW(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(port).c_str()));
    }
  }
  if (changes.PortName) {
    const std::wstring name = Widen(view.PortName);
    const LRESULT found = ::SendMessageW(ports, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(name.c_str()));
    ::SendMessageW(ports, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
    ::SetWindowTextW(ports, name.c_str());
  }
  if (changes.ReceiverPicture) ::InvalidateRect(::GetDlgItem(window_, IDC_RECEIVER_PICTURE), nullptr, FALSE);
  if (changes.ServerPicture) ::InvalidateRect(::GetDlgItem(window_, IDC_SERVER_PICTURE), nullptr, FALSE);
  if (changes.Health) {
    // Its text is drawn by the window; kept as the control's text too, for
    // whatever reads the window from outside (a screen reader, a test).
    const HWND health = ::GetDlgItem(window_, IDC_HEALTH);
    SetText(health, HealthLine(view.Verdict));
    ::InvalidateRect(health, nullptr, FALSE);
    UpdateTrayTip(HealthLine(view.Verdict));
  }
  if (changes.LastWarning) SetText(::GetDlgItem(window_, IDC_LAST_WARNING), view.LastWarning);
  if (changes.Fields) {
    const winface::FieldTexts fields = winface::FieldTextsOf(view);
    // What the fields show now, from the view drawn last.
    const std::optional<winface::FieldTexts> shown =
        drawn_ ? std::optional(winface::FieldTextsOf(*drawn_)) : std::nullopt;
    const std::pair<int, std::string winface::FieldTexts::*> values[] = {
        {IDC_STARTED_AT, &winface::FieldTexts::StartedAt},
        {IDC_CLOSE_CODE, &winface::FieldTexts::CloseCode},
        {IDC_WAITING, &winface::FieldTexts::Waiting},
        {IDC_OLDEST_WAITING, &winface::FieldTexts::OldestWaiting},
        {IDC_LAST_ACKNOWLEDGED, &winface::FieldTexts::LastAcknowledged},
        {IDC_LAST_CONFIRMED, &winface::FieldTexts::LastConfirmed},
        {IDC_UNACKNOWLEDGED, &winface::FieldTexts::Unacknowledged}};
    for (const auto& [id, field] : values) {
      if (!shown || fields.*field != (*shown).*field) SetText(::GetDlgItem(window_, id), fields.*field);
    }
  }
  drawn_ = view;
}

void DriverWindow::ShowStatus(TDateTime at, Priority, const std::string& text) {
  const std::string line = winface::StatusLineText(at, text);
  EchoLine(line);
  if (window_ == nullptr) return;
  const HWND list = ::GetDlgItem(window_, IDC_STATUS_LIST);
  if (status_.Add(line)) ::SendMessageW(list, LB_DELETESTRING, 0, 0);
  const LRESULT index = ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(line).c_str()));
  // The newest line stays in sight.
  if (index >= 0) ::SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

void DriverWindow::ShowWarning(TDateTime, const std::string& text) {
  // Its words went to the status list and standard error already.
  if (closing_ || window_ == nullptr) return;
  notice_.Show(instance_, window_, text, false);
}

void DriverWindow::ShowFailure(const std::string& text) {
  const std::string worded = FailureText(text);
  EchoLine(worded);
  if (closing_ || window_ == nullptr) return;
  notice_.Show(instance_, window_, worded, true);
}

std::optional<std::string> DriverWindow::AskCloseCode() {
  // Asked only when the question could not be shown (or once the end has
  // begun): nobody can be asked.
  return std::nullopt;
}

bool DriverWindow::AskCloseCodeLater(const CloseCodeAnswer& answer) {
  // Once an orderly end has begun nobody is asked anything.
  if (closing_ || window_ == nullptr) return false;
  return question_.Show(instance_, window_, [this, answer](std::optional<std::string> code) {
    Guarded([&] { answer(std::move(code)); });
    if (Ended()) Finish();
  });
}

void DriverWindow::EndWithoutAsking() {
  if (finished_) return;
  closing_ = true;
  // Modal windows up now close; the handlers under them then run on without
  // showing anything new.
  notice_.Close();
  question_.Dismiss();
  CloseThreadDialogs();
  Guarded([&] { station_->End(); });
  Finish();
}

void DriverWindow::Finish() {
  if (finished_) return;
  finished_ = true;
  closing_ = true;
  RemoveTrayIcon();
  ::ShowWindow(window_, SW_HIDE);
  loop_.Quit();
}

void DriverWindow::CloseRequested() {
  // One question at a time; none once the end has begun.
  if (closing_ || question_.Open()) return;
  bool accepted = false;
  Guarded([&] { accepted = station_->Close(); });
  if (accepted) Finish();
}

std::string DriverWindow::PortListText() const { return WindowText(::GetDlgItem(window_, IDC_PORT_LIST)); }

void DriverWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_PAGE_STATE:
    case IDC_PAGE_SETUP:
      if (code == BN_CLICKED) ShowPage(id == IDC_PAGE_SETUP);
      break;
    case IDC_START_STOP:
      if (code == BN_CLICKED && !question_.Open()) Guarded([&] { station_->StartOrStopPort(PortListText()); });
      break;
    case IDC_RESCAN:
      if (code == BN_CLICKED && !question_.Open()) Guarded([&] { station_->Rescan(); });
      break;
    case IDC_PORT_LIST:
      if (code == CBN_SELCHANGE && !question_.Open()) {
        const HWND ports = ::GetDlgItem(window_, IDC_PORT_LIST);
        const LRESULT chosen = ::SendMessageW(ports, CB_GETCURSEL, 0, 0);
        if (chosen < 0) break;
        const LRESULT length = ::SendMessageW(ports, CB_GETLBTEXTLEN, static_cast<WPARAM>(chosen), 0);
        std::wstring name(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        ::SendMessageW(ports, CB_GETLBTEXT, static_cast<WPARAM>(chosen), reinterpret_cast<LPARAM>(name.data()));
        name.resize(static_cast<std::size_t>(std::max<LRESULT>(length, 0)));
        Guarded([&] { station_->SelectPort(Narrow(name)); });
      }
      break;
    case IDM_RESTORE:
      Restore();
      break;
    case IDM_CLOSE:
      CloseRequested();
      break;
    default:
      break;
  }
}

void DriverWindow::DrawPicture(const DRAWITEMSTRUCT& item) {
  const StationView view = drawn_.value_or(StationView{});
  if (item.CtlID == IDC_HEALTH) {
    DrawHealth(item, view.Verdict);
    return;
  }
  const bool receiver = item.CtlID == IDC_RECEIVER_PICTURE;
  const winface::LinkPicture picture = receiver ? winface::LinkPictureOf(view.ReceiverPicture, view.ReceiverPulse)
                                                : winface::LinkPictureOf(view.ServerPicture, view.ServerPulse);
  PaintLinkPicture(item.hDC, item.rcItem, picture);
}

void DriverWindow::DrawHealth(const DRAWITEMSTRUCT& item, const Health& health) {
  const HBRUSH brush = ::CreateSolidBrush(ColourRef(health.Level));
  ::FillRect(item.hDC, &item.rcItem, brush);
  ::DeleteObject(brush);
  RECT text = item.rcItem;
  ::InflateRect(&text, -kMargin, -4);
  const HGDIOBJ old = ::SelectObject(item.hDC, bold_);
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, RGB(255, 255, 255));
  const std::wstring line = Widen(HealthLine(health));  // the control's text may lag the view
  ::DrawTextW(item.hDC, line.c_str(), static_cast<int>(line.size()), &text,
              DT_WORDBREAK | DT_NOPREFIX | DT_END_ELLIPSIS | DT_EDITCONTROL);
  ::SelectObject(item.hDC, old);
}

void DriverWindow::UpdateTrayTip(const std::string& verdict) {
  if (!tray_shown_) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window_;
  data.uID = kTrayId;
  data.uFlags = NIF_TIP;
  const std::wstring tip = Widen(std::string(kWindowTitle) + ": " + verdict);
  tip.copy(data.szTip, std::size(data.szTip) - 1);
  ::Shell_NotifyIconW(NIM_MODIFY, &data);
}

void DriverWindow::PaintHeader() {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(window_, &paint);
  RECT band{0, 0, kClientWidth, kHeaderHeight};
  const HBRUSH brush = ::CreateSolidBrush(kHeaderColour);
  ::FillRect(dc, &band, brush);
  ::DeleteObject(brush);
  const HGDIOBJ old = ::SelectObject(dc, header_font_);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, RGB(255, 255, 255));
  band.left += 12;
  const std::wstring title = Widen(kHeaderTitle);
  ::DrawTextW(dc, title.c_str(), static_cast<int>(title.size()), &band, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  ::SelectObject(dc, old);
  ::EndPaint(window_, &paint);
}

void DriverWindow::AddTrayIcon() {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window_;
  data.uID = kTrayId;
  data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = small_icon_;
  const std::wstring tip = Widen(kWindowTitle);
  tip.copy(data.szTip, std::size(data.szTip) - 1);
  tray_shown_ = ::Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void DriverWindow::RemoveTrayIcon() {
  if (!tray_shown_) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window_;
  data.uID = kTrayId;
  ::Shell_NotifyIconW(NIM_DELETE, &data);
  tray_shown_ = false;
}

void DriverWindow::ShowTrayMenu() {
  const HMENU menu = ::CreatePopupMenu();
  bool first = true;
  for (const winface::TrayMenuItem& item : winface::TrayMenu(closing_ || question_.Open())) {
    if (!first) ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    first = false;
    const UINT id = item.Command == winface::TrayCommand::Restore ? IDM_RESTORE : IDM_CLOSE;
    ::AppendMenuW(menu, MF_STRING | (item.Enabled ? MF_ENABLED : MF_GRAYED), id, Widen(item.Text).c_str());
    if (item.Default) ::SetMenuDefaultItem(menu, id, FALSE);
  }
  POINT at;
  ::GetCursorPos(&at);
  // The menu closes when the operator clicks elsewhere only while the
  // window is in the foreground.
  ::SetForegroundWindow(window_);
  const UINT chosen = static_cast<UINT>(
      ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, window_, nullptr));
  ::PostMessageW(window_, WM_NULL, 0, 0);
  ::DestroyMenu(menu);
  if (chosen != 0) OnCommand(static_cast<int>(chosen), BN_CLICKED);
}

void DriverWindow::Restore() {
  if (finished_) return;
  ::ShowWindow(window_, SW_RESTORE);
  ::ShowWindow(window_, SW_SHOW);
  ::SetForegroundWindow(window_);
}

LRESULT CALLBACK DriverWindow::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    auto* self = static_cast<DriverWindow*>(create->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<DriverWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  return self->Handle(message, wparam, lparam);
}

LRESULT DriverWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == taskbar_created_ && taskbar_created_ != 0) {
    if (!finished_) AddTrayIcon();
    return 0;
  }
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_DRAWITEM:
      DrawPicture(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_CTLCOLORSTATIC:
      // The last warning in red; every other label as the system draws it.
      if (reinterpret_cast<HWND>(lparam) == ::GetDlgItem(window_, IDC_LAST_WARNING)) {
        const HDC dc = reinterpret_cast<HDC>(wparam);
        ::SetTextColor(dc, ColourRef(HealthLevel::Stopped));
        ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
      }
      return ::DefWindowProcW(window_, message, wparam, lparam);
    case WM_PAINT:
      PaintHeader();
      return 0;
    case WM_SIZE:
      // Minimised, the window hides behind its notification-area icon;
      // without one it stays on the taskbar, as it could not come back.
      if (wparam == SIZE_MINIMIZED && tray_shown_) ::ShowWindow(window_, SW_HIDE);
      return 0;
    case kTrayMessage:
      if (lparam == WM_RBUTTONUP || lparam == WM_CONTEXTMENU) ShowTrayMenu();
      if (lparam == WM_LBUTTONDBLCLK) Restore();
      return 0;
    case WM_CLOSE:
      CloseRequested();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The session ends: in order, without the close code; the system may
      // end the process as soon as this returns, so the end is done here.
      if (wparam != FALSE) EndWithoutAsking();
      return 0;
    default:
      return ::DefWindowProcW(window_, message, wparam, lparam);
  }
}

}  // namespace orvent
