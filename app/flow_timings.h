#ifndef TANDEO_APP_FLOW_TIMINGS_H
#define TANDEO_APP_FLOW_TIMINGS_H

// The fixed intervals and pauses of the login, upkeep and share flows in one place. The
// program runs with these values; tests hand a window shorter ones to run the same flows in
// seconds.
struct FlowTimings
{
    int loginTimeoutMs = 30000; // a login without a deciding reply
    int keepAliveMs = 120000; // one keep-alive request per tick
    int waitStepMs = 200; // share flow: sleep between flag checks ...
    int waitSteps = 74; // ... at most this many times (14.8 s)
    int connectTimeoutS = 3; // control channel connect
    int stopPauseMs = 850; // after a stop, before the buttons change
    int peerStopPauseMs = 1500; // the unit's stop: between enabling Share and disabling Stop
    int logoutStopPauseMs = 100; // logout: after stopping a running share
    // The flags the unit's messages set wake their slots at once; the slots' timers only look
    // at the flags this often, in case a wake-up was missed, so an idle share costs nothing.
    int flagSafetyNetMs = 1000;
};

#endif // TANDEO_APP_FLOW_TIMINGS_H
