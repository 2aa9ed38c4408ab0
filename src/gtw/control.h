// Internal to the connection layer: the control connection's reader, with
// the reason it stopped when the connection itself failed.
#pragma once

#include <cstddef>

#include "gtw/gtw.h"

// Reads the control connection like gtw_read_message.  When the receive
// fails or the target has closed the connection, the result is GTW_FAILED
// and, if `failure` is given, the message saying which is composed there.
int gtw_read_control(gtw_conn *conn, char *failure, size_t failure_size);
