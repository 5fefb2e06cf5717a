// The longest time each export may block, as a host is told: sums of the library's own time
// limits on the longest path through the call. The bounds test holds every export to them in its
// worst case; the fault runs hold every call to them whatever fails.
#pragma once

// The library's limits that the bounds are made of, in milliseconds.
constexpr double REPLY_MS = 10000;             // a command's reply (receive limit)
constexpr double HANDSHAKE_MS = 4 * REPLY_MS;  // the handshake's four questions
constexpr double START_MS = 60000;             // a console that had to be started
// A connection attempt that the system is slow to decide (Windows refuses one where nothing
// listens after about 2 s) is given up after this long.
constexpr double CONNECT_ATTEMPT_MS = 3100;
// The connection sequence, whole: its last attempt may begin just before the start-up limit.
constexpr double SEQUENCE_MS = START_MS + CONNECT_ATTEMPT_MS + HANDSHAKE_MS;
// A command may first wait for another thread's use of the command channel: at most a
// handshake, when the acquisition thread is reconnecting.
constexpr double CHANNEL_MS = HANDSHAKE_MS;
constexpr double SCAN_START_MS = 30000;  // MeasureStart's wait for scanning
constexpr double SETTLE_MS = 100;
constexpr double SCAN_END_MS = 30000;   // MeasureStop's wait for the end of scanning
constexpr double THREAD_END_MS = 2500;  // a stopped acquisition thread, and again after a
                                        // forced end
constexpr double UNLOAD_SCAN_END_MS = 2000;
constexpr double UNLOAD_THREAD_MS = 5000;  // a stopped thread inside the library's own code
// The unload does not wait for another thread's command: it cuts its wait for the console short.
constexpr double UNLOAD_CUT_MS = 50;
constexpr double DATA_THREAD_MS = 3000;
constexpr double DIALOG_RUN_MS = 2000;  // a settings-window command still running at unload
// With the capture on: the stop's wait for its lock, and for its thread to write what is queued
// to a target that still takes bytes (CAPTURE_STOP_MOST_MS and the cancel of a last write).
constexpr double CAPTURE_STOP_MS = 1000 + 3550;
// What a call that waits for nothing may take on a busy machine, far below every wait above.
constexpr double NO_WAIT_MS = 1000;

// The bounds, export by export.
constexpr double CONNECT_BOUND_MS = CHANNEL_MS + SEQUENCE_MS;
constexpr double DISCONNECT_BOUND_MS = CHANNEL_MS + NO_WAIT_MS;
constexpr double RESET_BOUND_MS = 2 * CHANNEL_MS + SEQUENCE_MS;
constexpr double OPTION_SEND_BOUND_MS = CHANNEL_MS + SEQUENCE_MS;  // MouseSet, SoundSet
constexpr double SENSOR_LIST_BOUND_MS = CHANNEL_MS + SEQUENCE_MS + REPLY_MS;
constexpr double SENSOR_GET_BOUND_MS = 2 * (CHANNEL_MS + REPLY_MS) + SEQUENCE_MS;
constexpr double MEASURE_START_BOUND_MS =
    THREAD_END_MS + CHANNEL_MS + REPLY_MS + SCAN_START_MS + SETTLE_MS + 2 * SEQUENCE_MS;
constexpr double MEASURE_STOP_BOUND_MS = CHANNEL_MS + SEQUENCE_MS + SCAN_END_MS + 2 * THREAD_END_MS;
constexpr double CONFIG_BOUND_MS = NO_WAIT_MS;  // its return once the window is closed
constexpr double UNLOAD_BOUND_MS = DIALOG_RUN_MS + UNLOAD_CUT_MS + UNLOAD_SCAN_END_MS +
                                   2 * THREAD_END_MS + UNLOAD_THREAD_MS + DATA_THREAD_MS +
                                   CAPTURE_STOP_MS;
