#pragma once
#include <memory>

#include "lookup/WhoisQuery.h"
#include "platform/ThreadLink.h"

// One whois query, run by a worker thread on the block it shares with the dialog.
// The dialog fills in the address, its handle (hwnd) and status 1 before the start.
// The worker posts WM_WHOIS_DONE (wParam 0, no payload) with the raw reply in
// link->text, only while the window exists and status stays positive; a reply that
// could not be had is an empty text. A status the dialog sets negative, or a window
// that is gone, makes the worker stop after its current blocking step and drop
// everything without posting. Nothing times out: a server that never answers holds
// the worker until it goes away.
void RunWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config);

// Runs RunWhoisWorker on a detached thread; the thread's copy of the shared block
// keeps it valid for as long as the worker needs it. False when no thread could be
// started, so nothing will be posted.
bool StartWhoisWorker(std::shared_ptr<ThreadLink> link, WhoisConfig config);
