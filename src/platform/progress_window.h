// The window a walk shows while a person waits: the product's name as its
// caption, a bar of the records done out of the records in the log, the
// path being undone now (shortened in its middle), and a line saying that
// closing the window does not stop the uninstall.
//
// The window lives on a thread of its own that does nothing but answer the
// system, so it answers at once however long one record's call takes on the
// walk's thread. The walk only leaves what is to be shown where the window's
// thread picks it up; neither thread ever waits for the other, except the
// walk for the window to go.
#ifndef KIV_PLATFORM_PROGRESS_WINDOW_H_
#define KIV_PLATFORM_PROGRESS_WINDOW_H_

#include <stdint.h>

namespace kiv::platform {

// Opens the window for a walk of total records of the product named
// product (in the names' code page); *done counts the records the walk has
// begun (the walk's thread alone reads it). Without a window (no thread, no
// window could be made) the walk goes on as it would have.
void OpenProgressWindow(const char* product, uint32_t total, const uint32_t* done);
// path (in the names' code page) is the record under way: shown with *done,
// at most once every kProgressIntervalMs. Never waits: skipped while the
// window's thread reads what was left last. Called when a record is named,
// before any call on its names: it leaves TakeUnspellable's flag clear, as
// it finds it there.
void ShowProgress(const char* path);
// Takes the window away and waits (briefly) until it is gone; nothing when
// none is open. Called before any box the run shows after its walk.
void CloseProgressWindow();

}  // namespace kiv::platform

#endif  // KIV_PLATFORM_PROGRESS_WINDOW_H_
