#ifndef TANDEO_CONTROL_EVENTS_H
#define TANDEO_CONTROL_EVENTS_H

// The numbered events of the control channel and the two callbacks that receive them. One id
// space serves both callbacks; 11 and 12 are not used.

namespace control {

enum ControlEvent : int {
    CONNECT_ACCEPT = 0, // notify: data = const ControlParams * of the answer's item block,
                        //         length = the block's byte length
    CONNECT_REJECT = 1, // notify: data = the 4 reason bytes, length 0
    SHARE_ACCEPT = 2, // notify: no data
    SHARE_REJECT = 3, // notify: data = the 4 reason bytes, length 0
    REQUESTBYPEER_SHARE = 4, // request: no data; the result answers the unit's MSG_SHARE
    STOP_ACCEPT = 5, // notify: no data
    STOP_REJECT = 6, // notify: data = the 4 reason bytes, length 0
    REQUESTBYPEER_STOP = 7, // request: no data; the result answers the unit's MSG_STOP
    PARAMS_ACCEPT = 8, // notify: no data
    PARAMS_REJECT = 9, // notify: data = the 4 reason bytes, length 0
    REQUESTBYPEER_PARAMS = 10, // request: data = const ControlParams *, length 0
    PEER_DISCONNECT = 13, // notify: no data; the channel is closed right after
    REQUESTBYPEER_NEXT_FRAME = 14, // request: data = const ControlParams *, length 0; result unused
    NETWORK_FAIL = 15, // notify: no data; the receive ended with 0 or an error
};

// Both run on the receive thread; data is valid only during the call (nullptr when there is
// none). Reason bytes always point at four readable bytes: missing ones are 0. They must not
// block and must not touch GUI objects.
using NotifyCallback = void (*)(int event, const unsigned char *data, int length);
using RequestCallback = int (*)(int event, const void *data, int length);

} // namespace control

#endif // TANDEO_CONTROL_EVENTS_H
