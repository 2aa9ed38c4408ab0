// Every fixed buffer of the program has its bound here.
#pragma once

// Target connection (command exchange, control messages, composed texts).
inline constexpr int GTW_CHUNK_SIZE = 1024;    // one receive + terminator
inline constexpr int GTW_LINE_SIZE = 1024;     // one reply line + terminator
inline constexpr int GTW_MESSAGE_SIZE = 1024;  // control receive buffer
inline constexpr int GTW_TEXT_SIZE = 1024;     // composed messages/commands
inline constexpr int GTW_HOSTNAME_SIZE = 128;  // local host name
// The message queue keeps the oldest messages up to both bounds; the rest
// are counted and reported as one line, whatever a target sends.
inline constexpr int GTW_QUEUE_MAX_MESSAGES = 128;
inline constexpr int GTW_QUEUE_MAX_BYTES = 64 * 1024;  // queued text
inline constexpr int GTW_DROPPED_TEXT_SIZE = 64;       // the line that counts the rest

// Driver.
inline constexpr int CMDSTRING_SIZE = 128;       // target command in composition
inline constexpr int MAX_CONFIG_ENTRIES = 8;     // the entry table
inline constexpr int PROMPT_BUFFER_SIZE = 1024;  // typed line, largest build
inline constexpr int SIGNAL_TEXT_SIZE = 512;     // handler's "%s: Interrupt\n"
// The advice an interrupted run leaves: the program name, the address
// (a typed one up to the prompt's line) twice, and the words around them.
inline constexpr int ADVICE_TEXT_SIZE = SIGNAL_TEXT_SIZE + 2 * PROMPT_BUFFER_SIZE + 128;

// Configuration records.
inline constexpr int CONFIG_TEXT_SIZE = 80;  // text fields of an entry
inline constexpr int MAX_ROMIDENTS = 32;
inline constexpr int MAX_NWIRECMDS = 32;
inline constexpr int CONFIG_NAME_SIZE = 80;    // candidate configuration name
inline constexpr int AVAIL_COMMAND_SIZE = 40;  // "pf -a" probe command
inline constexpr int CONFIG_LINE_SIZE = 1024;  // configuration line, largest build
// "pf -e" with its keep-list: one " 0%lX 0%lX" pair (at most 20 characters)
// per gap around the flash ranges.  Each entry of the table adds at most two
// ranges, and n ranges leave at most n + 1 gaps.
inline constexpr int ERASE_PAIR_SIZE = 20;
inline constexpr int MAX_ERASE_GAPS = 2 * MAX_CONFIG_ENTRIES + 1;
inline constexpr int ERASE_COMMAND_SIZE = 5 + MAX_ERASE_GAPS * ERASE_PAIR_SIZE + 2;

// Absolute files.
inline constexpr int ABS_HEADER_SIZE = 28;
inline constexpr int ABS_MAX_RECORD = 250;
inline constexpr int LOAD_BUFFER_SIZE = 1024;
// The record walk reads a file through one buffer of this size and steps
// through the records inside it; a whole record (8 + 250 + 1 bytes) fits.
inline constexpr int ABS_WALK_BUFFER_SIZE = 64 * 1024;
inline constexpr int ABS_WALK_REASON_SIZE = 160;

// The progress line on a terminal, without its carriage return.
inline constexpr int PROGRESS_LINE_SIZE = 96;

// Windows build: the directory listing and the socket error text.
inline constexpr int WIN32_DIR_PATH_SIZE = 264;     // path, and the pattern path + "\*.*"
inline constexpr int WIN32_DIR_NAME_SIZE = 260;     // one entry's name + terminator
inline constexpr int WIN32_SOCKET_ERROR_SIZE = 40;  // "WINSOCK ERROR = %d\n"

// Trace: one event line, escaped text included (a received chunk escapes to
// at most four times its size); longer lines go out in several writes.
inline constexpr int TRACE_LINE_SIZE = 4 * GTW_CHUNK_SIZE + 128;
// A flood of the target's text (reply and control-message lines with no
// event of the program's in between) is written up to both bounds, and the
// rest counted in one line.
inline constexpr int TRACE_FLOOD_MAX_LINES = 512;
inline constexpr int TRACE_FLOOD_MAX_BYTES = 64 * 1024;  // received bytes
// The one line that says the trace broke off: the program name, the path
// (cut when it is longer) and the system's reason.
inline constexpr int TRACE_NOTICE_SIZE = 1024;
inline constexpr int TRACE_NOTICE_REASON_SIZE = 128;
