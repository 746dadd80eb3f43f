// Network faults worth waiting out, and the back-off between tries.
#include "watch_retry.h"

namespace {

const unsigned long FIRST_DELAY_MS = 1000;
const unsigned long LONGEST_DELAY_MS = 30000;

} // namespace

bool is_transient_network_error(unsigned long code) {
    switch (code) {
    case 51:   // ERROR_REM_NOT_LIST: the remote computer is not available
    case 53:   // ERROR_BAD_NETPATH
    case 54:   // ERROR_NETWORK_BUSY
    case 55:   // ERROR_DEV_NOT_EXIST: the network resource is no longer available
    case 59:   // ERROR_UNEXP_NET_ERR
    case 64:   // ERROR_NETNAME_DELETED: the connection was dropped
    case 67:   // ERROR_BAD_NET_NAME: the share is not there (yet) on a server starting up
    case 121:  // ERROR_SEM_TIMEOUT
    case 240:  // ERROR_VC_DISCONNECTED: the session was cancelled
    case 1222: // ERROR_NO_NETWORK
    case 1231: // ERROR_NETWORK_UNREACHABLE
    case 1232: // ERROR_HOST_UNREACHABLE
    case 1236: // ERROR_CONNECTION_ABORTED
    case 2250: // ERROR_NOT_CONNECTED
        return true;
    default:
        return false;
    }
}

unsigned long retry_delay_ms(unsigned attempt) {
    unsigned long delay = FIRST_DELAY_MS;
    for (unsigned i = 0; i < attempt && delay < LONGEST_DELAY_MS; i++) delay *= 2;
    return delay < LONGEST_DELAY_MS ? delay : LONGEST_DELAY_MS;
}
