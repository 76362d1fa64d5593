#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ThreadLink.h"

// The block the main window shares with the ping worker: a ThreadLink (the window the
// result goes to, the address being pinged, the stop request) and the row being pinged.
// The window writes it only while no worker runs (before starting one, and in the
// result handler). The worker's socket is not attached to it: its wait is bounded by
// the one second anyway, and a socket shared with later pings must not be shut down.
struct PingBlock : ThreadLink {
    int row = 0;
};

// Shown for a ping that could not be made at all (no socket may be opened, the address
// is not a dotted address, sending or receiving failed other than by time-out), so the
// pass goes on with the next row.
inline constexpr const char* PING_FAILED = "실패";

// Which ICMP socket a ping uses. Automatic takes a raw socket where the process may
// open one and the kernel's ping socket otherwise; the other two force one, for tests.
enum class PingSocketKind { Automatic, Raw, Ping };

// One echo request to a dotted address, then the first ICMP message about it within one
// second; anything else read meanwhile is passed over. Returns the result word: "%dms",
// "no echo", "???", "timed out" or PING_FAILED.
// Blocks for up to about two seconds.
std::string PingOnce(std::string_view address, PingSocketKind kind = PingSocketKind::Automatic);

// Pings block->address once on a detached thread and posts WM_PING_RESULT through the
// block, wParam 0, the result word as payload. Exactly one result is posted for every
// call (also when no thread can be started), so a pass never stalls, until the block
// is stopped. The address is read before this returns.
void StartPingWorker(const std::shared_ptr<PingBlock>& block, PingSocketKind kind = PingSocketKind::Automatic);

// Copies at most 15 characters of an address into the block.
void SetPingAddress(PingBlock& block, std::string_view address);

// The window side of a pass over the friend list's rows. `addressOf(row)` gives column
// 0 of a row; the row count is read afresh at each step, so a list reloaded during a
// pass goes on at the same row index in the new rows.
using FriendAddressOf = std::function<std::string(int row)>;

// Starts a pass at row 0 with results going to `hwnd`. False (nothing started) for an
// empty list.
bool BeginPingPass(const std::shared_ptr<PingBlock>& block, const WindowRef& hwnd, int rowCount,
                   const FriendAddressOf& addressOf, PingSocketKind kind = PingSocketKind::Automatic);

// After a result has been shown in block->row: moves on to the next row and starts its
// worker. False when the pass is over.
bool ContinuePingPass(const std::shared_ptr<PingBlock>& block, int rowCount, const FriendAddressOf& addressOf,
                      PingSocketKind kind = PingSocketKind::Automatic);
