// The removable-media scan: a queue of drives to scan, filled by the main thread, and a
// thread that walks each drive (its root and folders up to three levels below it) for
// recording files and hands what it found to the main thread as a scan node
// (MsgMediaScanResult, ownership passing with the message).
//
// The queue's own lock (a leaf lock, held only to change the queue) guards it;
// the media-scan event (auto reset) wakes the thread; it ends
// when its stop event (the shutdown event unless a test gives its own) is set. Scans queued
// and not yet started are dropped then.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "app/scan_node.h"
#include "platform/event.h"

namespace velmora {

// Folders below a drive's root are scanned to this depth (the root is depth 0).
constexpr int kMediaScanMaxDepth = 3;

// Main thread. Queues a scan of the drive at `path` shown as `displayName`, logs
// "queing removable media scan for '%s'" and sets the media-scan event. False (and nothing
// logged) when a scan of the same path is already waiting.
// `device` is the drive's device node, kept with the drive's node.
bool QueueMediaScan(const std::string& path, const std::string& displayName,
                    const std::string& device = std::string());
// Drops a waiting scan of `path` (its drive went before the scan started). True when one
// was waiting.
bool DropMediaScan(const std::string& path);
// Scans waiting in the queue.
std::size_t PendingMediaScans();
// Drops every waiting scan.
void ClearMediaScanQueue();

// Scans `node` and its folders (recursively, up to kMediaScanMaxDepth): a folder holding
// a "*.vlj" file gets a RemovableFolder (-6) child, folders that found something become
// RemovableEntry (-7) children. True
// when anything was found. Folders that cannot be listed yield nothing. `stop`, when
// given and set, ends the walk early (nothing more is found).
bool ScanMediaNode(ScanNode& node, const platform::Event* stop = nullptr);

// The thread's loop on the calling thread: waits for the media-scan event, scans the queue and
// posts each successful result to the main queue, until `stop` is set.
void RunMediaScanThread(platform::Event& stop);
// Starts the loop on a thread of its own (stop null: the shutdown event). False when a scan
// thread runs already or the thread could not be made (logged).
bool StartMediaScanThread(platform::Event* stop = nullptr);
// Wakes the thread (its stop event must be set already) and waits at most `timeout` for
// it to end. True when it ended or never ran.
bool JoinMediaScanThread(std::chrono::milliseconds timeout);

}  // namespace velmora
