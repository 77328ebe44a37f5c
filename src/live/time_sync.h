// Keeps camera clocks in step with this computer: a camera (kind 2) or video server
// (kind 3) whose syncTime switch is on gets the local date and time posted to its
// "admin.cgi?datetime" script at most once every 12 hours, on a short-lived thread that
// reports the outcome as a status text.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace velmora {

struct GroupRecord;

constexpr int64_t kTimeSyncIntervalSeconds = 43200;  // 12 hours

// Results of time_sync_post.
constexpr int kTimeSyncOk = 0;
constexpr int kTimeSyncFailed = -1;
constexpr int kTimeSyncDenied = -2;

// Main thread (the 20 ms walk). Starts a sync when syncTime is on and the last attempt
// is 12 hours old or more; the attempt time is stored whatever the outcome.
void time_sync_check(GroupRecord& record);
// The same at a given time (seconds since 1970).
void time_sync_check(GroupRecord& record, int64_t nowSeconds);

// Posts "mode=manual&date=%Y-%m-%d&time=%H:%M:%S" (local time) to admin.cgi?datetime of
// the URL's host: first without credentials, and once more with them when the camera
// answers 401 (Basic or Digest, as it asks). 0 on status 200, -2 when the credentials
// were refused, -1 otherwise (file URL, no connection, any other status). An HTTPS
// camera must present a certificate the system's authorities verify for its host, or
// the one `certificate` (the device's kept fingerprint) names.
int time_sync_post(const std::string& url, const std::string& username, const std::string& password,
                   const std::string& certificate = std::string());

// The body of the post for a local time.
std::string TimeSyncBody(const std::tm& local);

// Body of one sync run: the post, then the status text "Synced time on %s.",
// "Unable to sync device time, authentication failure." or "Unable to sync device
// time.". Runs on the sync's own thread.
void time_sync_thread(const std::string& url, const std::string& username, const std::string& password,
                      const std::string& certificate = std::string());

// Syncs still running (their threads end by themselves). Waits at most timeout for
// them to end; true when none is left.
int TimeSyncRunning();
bool WaitTimeSyncIdle(std::chrono::milliseconds timeout);

}  // namespace velmora
