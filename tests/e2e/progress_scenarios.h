// What a person sees of a long walk: the progress window appears soon after
// "Yes", answers the system all the time (also while the uninstall file is
// held through its deletion retry), and is gone before the last box; the
// passive switches show it with no box, the very silent ones show nothing.
// Shared by the suite of the NT family and the suite of the 95 family.
#ifndef KIV_TESTS_E2E_PROGRESS_SCENARIOS_H_
#define KIV_TESTS_E2E_PROGRESS_SCENARIOS_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "harness.h"
#include "unattended_scenarios.h"

namespace kiv::e2e {

// Milliseconds since the QueryPerformanceCounter reading at.
inline double MsSince(int64_t at) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - at) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

inline int64_t Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

struct ProgressScan {
  std::vector<DWORD> ids;
  HWND found = nullptr;
};

// EnumWindows' callback: a stdcall function on 32-bit Windows, which no
// lambda converts to.
inline BOOL CALLBACK FindProgressWindow(HWND h, LPARAM param) {
  auto* s = reinterpret_cast<ProgressScan*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  char caption[256] = {};
  GetWindowTextA(h, caption, sizeof(caption));
  for (DWORD id : s->ids) {
    if (id == pid && IsWindowVisible(h) && std::string(caption) != "Kiv Uninstall") {
      s->found = h;
      return FALSE;
    }
  }
  return TRUE;
}

// A visible top-level window of one of the run's processes other than a
// box ("Kiv Uninstall" is the boxes' caption), or null.
inline HWND ProgressWindowOf(const StartedRun& run) {
  ProgressScan scan{run.RunningIds(), nullptr};
  EnumWindows(FindProgressWindow, reinterpret_cast<LPARAM>(&scan));
  return scan.found;
}

// What watching a run saw of its progress window.
struct Watched {
  bool seen = false;
  std::string caption;
  double first_seen_ms = -1;  // after the start of the watch
  int probes = 0;             // WM_NULL sent with a 1-second time-out
  int unanswered = 0;
  bool seen_with_last_box = false;  // visible while a box after the first was up
  RunResult result;
};

// Watches run until it ends: every 20 ms for its window, and every 500 ms a
// WM_NULL probe (SendMessageTimeout, 1 s) to it while it is up. With
// boxes_before_walk boxes answered, the watch starts there (after "Yes").
inline Watched WatchRun(StartedRun& run, BoxAnswerer& answerer, size_t boxes_before_walk,
                        DWORD timeout_ms = 180000) {
  Watched w;
  const int64_t started = Now();
  int64_t walk_from = boxes_before_walk == 0 ? started : 0;
  int64_t last_probe = 0;
  while (!run.RunningIds().empty() && MsSince(started) < timeout_ms) {
    const std::vector<Box> boxes = answerer.boxes();
    if (walk_from == 0 && boxes.size() >= boxes_before_walk) walk_from = Now();
    HWND window = ProgressWindowOf(run);
    if (window != nullptr) {
      if (boxes.size() > boxes_before_walk) w.seen_with_last_box = true;
      if (!w.seen && walk_from != 0) {
        w.seen = true;
        w.first_seen_ms = MsSince(walk_from);
        char caption[256] = {};
        GetWindowTextA(window, caption, sizeof(caption));
        w.caption = caption;
      }
      if (last_probe == 0 || MsSince(last_probe) >= 500) {
        last_probe = Now();
        DWORD_PTR result = 0;
        ++w.probes;
        // Unanswered: the second went by and the window is still there. A
        // probe that meets the window as it goes (its thread ending) fails
        // at once, answering for nothing.
        const int64_t sent = Now();
        if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) &&
            MsSince(sent) >= 1000 && IsWindow(window)) {
          ++w.unanswered;
        }
      }
    }
    Sleep(20);
  }
  w.result = run.Wait(10000);
  answerer.Stop();
  w.result.boxes = answerer.boxes();
  return w;
}

// After "Yes" on a product of file_count files the window is up within
// 1.5 s, answers every probe until the success box, and is gone by then.
// With hold_uninstall_file the test holds the uninstall file open through
// the walk, so the run spends its 2-second deletion retry on it (and
// schedules it for the next start, which the test then carries out).
inline void InteractiveWalkShowsAnAnsweringWindow(const std::string& directory, int file_count,
                                                  bool hold_uninstall_file) {
  LargeProduct product(directory, "Kiv Progress", file_count, 4096);
  HANDLE held = INVALID_HANDLE_VALUE;
  if (hold_uninstall_file) {
    held = CreateFileA(product.uninstall_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  }
  BoxAnswerer answerer({IDYES});
  StartedRun run(AsUserStartsIt(product.uninstall_file));
  ASSERT_TRUE(run.started());
  const int64_t started = Now();
  Watched w = WatchRun(run, answerer, 1);
  const double run_ms = MsSince(started);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);

  ASSERT_TRUE(w.result.finished);
  ASSERT_EQ(w.result.boxes.size(), 2u);
  EXPECT_EQ(w.result.boxes[1].text, "Uninstall was succesful");
  ASSERT_TRUE(w.seen) << "no window in a walk of " << run_ms << " ms";
  EXPECT_EQ(w.caption, "Kiv Progress");
  EXPECT_LE(w.first_seen_ms, 1500.0);
  EXPECT_GE(w.probes, 2);
  EXPECT_EQ(w.unanswered, 0) << "of " << w.probes << " probes";
  EXPECT_FALSE(w.seen_with_last_box);
  product.ExpectUndone();
  if (hold_uninstall_file) {
    EXPECT_TRUE(FileExists(product.uninstall_file));  // held: it goes at the next start
    ASSERT_TRUE(SimulateRestart());
    EXPECT_FALSE(FileExists(product.uninstall_file));
  }
}

// switches: a passive one shows the window and no box, a very silent one
// neither; both remove the product and end with 0.
inline void QuietRunShowsWhatItsSwitchAsks(const std::string& directory,
                                           const std::string& switches, bool window) {
  LargeProduct product(directory, "Kiv Quiet Progress", 3000, 4096);
  BoxAnswerer answerer({});
  StartedRun run(AsUserStartsIt(product.uninstall_file) + " " + switches);
  ASSERT_TRUE(run.started());
  Watched w = WatchRun(run, answerer, 0);

  ASSERT_TRUE(w.result.finished) << switches;
  EXPECT_EQ(w.result.exit_code, static_cast<DWORD>(kExitSuccess)) << switches;
  EXPECT_TRUE(w.result.boxes.empty())
      << switches << ": " << (w.result.boxes.empty() ? "" : w.result.boxes[0].text);
  EXPECT_EQ(w.seen, window) << switches;
  if (window) {
    EXPECT_EQ(w.caption, "Kiv Quiet Progress");
    EXPECT_EQ(w.unanswered, 0) << switches;
  }
  product.ExpectUndone();
  for (int i = 0; i < 100 && FileExists(product.uninstall_file); ++i) Sleep(20);
  EXPECT_FALSE(FileExists(product.uninstall_file)) << switches;
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_PROGRESS_SCENARIOS_H_
