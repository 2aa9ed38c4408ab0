// Every fixed buffer of the program has its bound here.
#pragma once

// Target connection (command exchange, control messages, composed texts).
inline constexpr int GTW_CHUNK_SIZE = 1024;      // one receive + terminator
inline constexpr int GTW_LINE_SIZE = 1024;       // one reply line + terminator
inline constexpr int GTW_MESSAGE_SIZE = 1024;    // control receive buffer
inline constexpr int GTW_TEXT_SIZE = 1024;       // composed messages/commands
inline constexpr int GTW_HOSTNAME_SIZE = 128;    // local host name

// Driver.
inline constexpr int CMDSTRING_SIZE = 128;       // target command in composition
inline constexpr int MAX_CONFIG_ENTRIES = 8;     // the entry table

// Configuration records.
inline constexpr int CONFIG_TEXT_SIZE = 80;      // text fields of an entry
inline constexpr int MAX_ROMIDENTS = 32;
inline constexpr int MAX_NWIRECMDS = 32;
inline constexpr int CONFIG_NAME_SIZE = 80;      // candidate configuration name
inline constexpr int AVAIL_COMMAND_SIZE = 40;    // "pf -a" probe command

// Absolute files.
inline constexpr int ABS_HEADER_SIZE = 28;
inline constexpr int ABS_MAX_RECORD = 250;
inline constexpr int LOAD_BUFFER_SIZE = 1024;
