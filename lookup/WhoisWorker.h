#pragma once
#include <memory>

#include "lookup/WhoisQuery.h"
#include "platform/ThreadLink.h"

// One whois query, run by a worker thread on the block it shares with the dialog.
// The dialog fills in the address and its handle (hwnd) before the start. The worker
// hands the raw reply over in link->text with WM_WHOIS_DONE (wParam 0, no payload),
// only while the window exists and the link is not stopped; a reply that could not be
// had is an empty text. Stopping the link shuts the worker's socket down, so it ends at
// once and drops everything without posting; a window that is merely gone is noticed
// at the next read or its time-out. Connecting and each read wait at most the
// configuration's time-outs.
void RunWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config);

// Runs RunWhoisWorker on a detached thread; the thread's copy of the shared block
// keeps it valid for as long as the worker needs it. False when no thread could be
// started, so nothing will be posted.
bool StartWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config);
