// The progress window on its own thread; see progress_window.h.
//
// No class of our own: the frame is the system's dialog class and the lines
// and the bar are static controls, which paint themselves. The window's
// thread needs no window procedure, only its message loop (a class, a
// procedure and the painting measured some hundreds of bytes more).
#include "platform/progress_window.h"

#include "base/progress_view.h"
#include "platform/named_calls.h"
#include "platform/win32.h"

#include <windows.h>

namespace kiv::platform {

namespace {

// The layout is measured in the system font's average letter and line
// (GetDialogBaseUnits): it grows with that font, and so with the DPI
// setting, on every system from Windows 95 on. A line is kLineLetters
// average letters wide; a longer path is shortened in its middle by the
// static control itself (SS_PATHELLIPSIS, Windows 95 and NT 4 on: exact
// to the pixel in the font it draws with, and no code of ours).
constexpr int kLineLetters = 60;

// What the walk leaves for the window's thread. Whoever sets busy from 0
// to 1 (an interlocked exchange) may touch the rest; whoever finds it 1
// passes and never waits: the walk leaves the next record's instead, the
// window looks again on its next round. Zeros in .bss before anything runs.
struct Shown {
  volatile LONG busy;
  bool fresh;  // left by the walk, not yet shown
  uint32_t done;
  char path[PathString::capacity()];
};
Shown g_shown;
const uint32_t* g_done;
ProgressThrottle g_throttle;
char g_product[PathString::capacity()];
// String 2: that closing the window does not stop the uninstall.
char g_note[ShortString::capacity()];
uint32_t g_total;
volatile LONG g_closing;
HANDLE g_thread;

// text, in the names' code page, into out (PathString::capacity() bytes)
// as the A calls show it; empty when the system's code page cannot spell it.
void ToShown(const char* text, char* out) {
  if (!named::ToSystemCodePage(text, out, PathString::capacity())) out[0] = '\0';
  // A name the system cannot spell sets the flag the walk asks after each
  // record about its own calls; none of those has been made yet when the
  // record is named (UndoStep::Describe comes first), so it is cleared.
  TakeUnspellable();
}

bool TakeShown() { return InterlockedExchange(&g_shown.busy, 1) == 0; }
void LeaveShown() { InterlockedExchange(&g_shown.busy, 0); }

// The controls, top to bottom, in half lines; the bar's fill lies inside
// its frame. Only the note starts with a text.
struct Control {
  uint16_t style;
  uint8_t top;
};
constexpr Control kControls[] = {
    {SS_BLACKRECT, 1},                        // the bar's fill
    {SS_BLACKFRAME, 1},                       // the bar's frame
    {SS_PATHELLIPSIS | SS_NOPREFIX, 4},       // the path
    {SS_LEFTNOWORDWRAP | SS_NOPREFIX, 7},     // the note
};
enum { kFill, kFrame, kPath, kNote, kControlCount };

__attribute__((force_align_arg_pointer)) DWORD WINAPI WindowThread(void*) {
  const DWORD units = GetDialogBaseUnits();
  const int letter = LOWORD(units);
  const int line = HIWORD(units);
  const int width = kLineLetters * letter;
  // The dialog class (by its atom, "#32770"): a frame that answers the
  // system with no procedure of ours. Its close button posts IDCANCEL,
  // which the loop below takes. Its caption is the product's name, as an
  // installer's progress shows it: "Kiv Uninstall" is the boxes' caption
  // alone, and nothing takes this window for one.
  HWND frame = CreateWindowExA(0, WC_DIALOG, g_product, WS_CAPTION | WS_SYSMENU | WS_VISIBLE,
                               CW_USEDEFAULT, CW_USEDEFAULT, width + 4 * letter, 7 * line,
                               nullptr, nullptr, nullptr, nullptr);
  HWND controls[kControlCount];
  for (int i = 0; i < kControlCount; ++i) {
    controls[i] = CreateWindowExA(0, "STATIC", i == kNote ? g_note : "",
                                  WS_CHILD | WS_VISIBLE | kControls[i].style, 2 * letter,
                                  kControls[i].top * line / 2, i == kFill ? 0 : width, line,
                                  frame, nullptr, nullptr, nullptr);
  }
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      // Closed by the user: the window goes with this thread; the walk
      // goes on, as the window said.
      if (msg.message == WM_COMMAND && LOWORD(msg.wParam) == IDCANCEL) return 0;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (g_closing) return 0;
    // Only what changed is repainted, at most once a round: the controls
    // are this thread's, so neither call waits on anybody.
    if (TakeShown()) {
      if (g_shown.fresh) {
        g_shown.fresh = false;
        SetWindowTextA(controls[kPath], g_shown.path);
        const uint32_t filled = FilledWidth(g_shown.done, g_total, static_cast<uint32_t>(width));
        MoveWindow(controls[kFill], 2 * letter, line / 2, static_cast<int>(filled), line, TRUE);
      }
      LeaveShown();
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kProgressIntervalMs, QS_ALLINPUT);
  }
}

}  // namespace

void OpenProgressWindow(const char* product, uint32_t total, const uint32_t* done) {
  if (g_thread != nullptr) return;
  g_total = total;
  g_done = done;
  g_closing = 0;
  ToShown(product, g_product);
  LoadStringResource(2, g_note, sizeof(g_note));
  DWORD id;
  g_thread = CreateThread(nullptr, 0, WindowThread, nullptr, 0, &id);
}

void ShowProgress(const char* path) {
  if (g_thread == nullptr || !g_throttle.Due(GetTickCount())) return;
  // Written in place: the window, finding it taken, looks again on its next
  // round.
  if (!TakeShown()) return;
  g_shown.done = *g_done;
  g_shown.fresh = true;
  ToShown(path, g_shown.path);
  LeaveShown();
}

void CloseProgressWindow() {
  if (g_thread == nullptr) return;
  // Its loop sees the flag within a round (kProgressIntervalMs), and its
  // windows go with it. A thread that does not end within the time is left:
  // the box that follows must come all the same. The handle stays open for
  // the rest of the process, which ends after the run.
  g_closing = 1;
  MsgWaitForMultipleObjects(1, &g_thread, FALSE, 2000, 0);
  g_thread = nullptr;
}

}  // namespace kiv::platform
