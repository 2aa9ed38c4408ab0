// Opening, locking and closing the connection to the target: a command
// connection and a control connection (the next port), introduced to each
// other by six bytes on the control connection, and then either the target's
// lock taken (lock mode) or a gateway user interface started (start mode).
#include "gtw/gtw.h"

#include <cstdio>
#include <cstring>

#include "gtw/net.h"
#include "bounds.h"
#include "gtw/trace.h"
#include "formats/trace/trace_format.h"

gtw_conn gtw;

namespace {

// The port of the target's service when the services database has no entry.
constexpr unsigned short DEFAULT_PORT = 3810;

// Every failed opening queues its reason and gives the same result.
int open_failed(const char *text) {
  trace_event(trace_kind::open_failed, text);
  gtw_add_message(text);
  return GTW_MESSAGES | GTW_FAILED;
}

void close_both(gtw_conn *conn) {
  plat_close_socket(conn->command_socket);
  plat_close_socket(conn->control_socket);
}

// Gives the target back as it was found: no marker, the usual prompt.  The
// replies are not looked at; their messages stay queued.  false when the
// marker's removal did not reach the target: the connection was gone.
bool release_lock(gtw_conn *conn) {
  if ((gtw_send_command(conn, GTW_MARKER_REMOVE, nullptr, nullptr) & GTW_FAILED) &&
      gtw_connection_lost(conn)) {
    return false;
  }
  gtw_send_command(conn, GTW_PROMPT_RESET, nullptr, nullptr);
  return true;
}

// Any ordinary reply line to the lock probe is the lock marker of another
// user interface; a free target answers with message lines only.
void note_reply_line(const char *, void *arg) { *static_cast<int *>(arg) = 1; }

bool resolve_host(const char *host, sockaddr_in *address) {
  address->sin_addr.s_addr = inet_addr(host);
  if (address->sin_addr.s_addr != INADDR_NONE) {
    return true;
  }
  // Not a dotted-decimal address (or the all-ones one): a host name.
  const hostent *entry = gethostbyname(host);
  if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list[0]) {
    return false;
  }
  memcpy(&address->sin_addr, entry->h_addr_list[0], 4);
  return true;
}

unsigned short service_port() {
  const servent *service = getservbyname("xr38100", "tcp");
  return service ? ntohs(static_cast<unsigned short>(service->s_port)) : DEFAULT_PORT;
}

// Registers this program as the target's lock holder: the probe runs the
// marker macro, which exists only while another user interface holds the
// target; then the prompt becomes "$" and the marker is defined for us.
int take_lock(gtw_conn *conn, const char *host, const char *user, const char *hostname) {
  char text[GTW_TEXT_SIZE];
  int locked = 0;
  conn->marker_left = false;
  gtw_send_command(conn, GTW_LOCK_PROBE, note_reply_line, &locked);
  if (locked) {
    snprintf(text, sizeof text, "%s is locked by another user interface", host);
    gtw_send_command(conn, GTW_LOCK_END, nullptr, nullptr);
    close_both(conn);
    return open_failed(text);
  }
  // The probe's answers (a free target complains that the marker is
  // unknown) and the reasons of earlier failed attempts are of no interest.
  gtw_flush_messages();

  int result = gtw_send_command(conn, "po -p $\n", nullptr, nullptr);
  snprintf(text, sizeof text,
           "mac lockinfo={echo \"user: %s\" \\0A \"userinterface: 4 (gateway)\" \\0A "
           "\"host name: %s\" \\0A  };lanlk -d\n",
           user, hostname);
  int marker = gtw_send_command(conn, text, nullptr, nullptr);
  result |= marker;
  if (result & GTW_FAILED) {
    // An opening that failed must not leave the target locked against the
    // next run, ours or anyone's.  Under the probe's "lanlk -e" no other
    // interface can have defined a marker since, so whatever marker there
    // is, is ours.  A refusal in the marker's line may come from the
    // definition or from the "lanlk -d" behind it, and may have kept that
    // unlock from running: it is sent again.
    if (marker & GTW_FAILED) {
      gtw_send_command(conn, GTW_LOCK_END, nullptr, nullptr);
    }
    conn->marker_left = !release_lock(conn);
    close_both(conn);
  }
  return result;
}

int start_interface(gtw_conn *conn, int type, const char *user, const char *hostname) {
  static const char *const options[] = {"", "-e", "-a"};
  char text[GTW_TEXT_SIZE];
  snprintf(text, sizeof text, "start %s -u %s -h %s\n", options[type - 1], user, hostname);
  int result = gtw_send_command(conn, text, nullptr, nullptr);
  if (result & GTW_FAILED) {
    close_both(conn);
  }
  return result;
}

// The connections and the opening bytes, once the socket layer has started;
// a failure closes what it opened.
int connect_started(gtw_conn *conn, const char *host) {
  char text[GTW_TEXT_SIZE];

  sockaddr_in target;
  memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  if (!resolve_host(host, &target)) {
    snprintf(text, sizeof text, "%s not found in /etc/hosts", host);
    return open_failed(text);
  }
  unsigned short port = service_port();

  conn->command_socket = socket(AF_INET, SOCK_STREAM, 0);
  if (conn->command_socket == PLAT_INVALID_SOCKET) {
    snprintf(text, sizeof text, "command port socket failed, %s", plat_socket_error_text());
    return open_failed(text);
  }
  target.sin_port = htons(port);
  if (connect(conn->command_socket, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
    snprintf(text, sizeof text, "command port connect failed, %s", plat_socket_error_text());
    plat_close_socket(conn->command_socket);
    return open_failed(text);
  }
  plat_socket_keepalive(conn->command_socket);
  plat_socket_ack_at_once(conn->command_socket);

  target.sin_port = htons(static_cast<unsigned short>(port + 1));
  conn->control_socket = socket(AF_INET, SOCK_STREAM, 0);
  if (conn->control_socket == PLAT_INVALID_SOCKET) {
    snprintf(text, sizeof text, "control port socket failed %s", plat_socket_error_text());
    plat_close_socket(conn->command_socket);
    return open_failed(text);
  }
  if (connect(conn->control_socket, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
    snprintf(text, sizeof text, "control port connected failed %s", plat_socket_error_text());
    close_both(conn);
    return open_failed(text);
  }
  plat_socket_keepalive(conn->control_socket);
  plat_socket_ack_at_once(conn->control_socket);

  // The control connection is introduced by the local end of the command
  // connection, so that the target can pair the two.
  sockaddr_in local;
  memset(&local, 0, sizeof local);
  gtw_socklen local_size = sizeof local;
  if (getsockname(conn->command_socket, reinterpret_cast<sockaddr *>(&local), &local_size) != 0) {
    snprintf(text, sizeof text, "getsockname failed, %s", plat_socket_error_text());
    close_both(conn);
    return open_failed(text);
  }
  // In one send: a second small one would wait for the acknowledgement of
  // the first.
  unsigned char introduction[6];
  memcpy(introduction, &local.sin_addr.s_addr, 4);
  memcpy(introduction + 4, &local.sin_port, 2);
  plat_send(conn->control_socket, introduction, sizeof introduction);
  trace_opening(&local.sin_addr.s_addr, &local.sin_port);
  return 0;
}

}  // namespace

// Every start of the socket layer is balanced: a failed opening stops it
// here or in gtw_open, an open connection in gtw_close.  Reconnection
// attempts do not pile up start-ups.
int gtw_connect(gtw_conn *conn, const char *host, int type) {
  trace_open(host);
  if (const char *why = plat_socket_startup()) {
    return open_failed(why);
  }
  conn->started = type != GTW_OPEN_LOCK;
  int result = connect_started(conn, host);
  if (result & GTW_FAILED) {
    plat_socket_cleanup();
  }
  return result;
}

void gtw_local_host(char *name, size_t size) {
  if (gethostname(name, static_cast<int>(size)) != 0) {
    name[0] = '\0';
  }
  name[size - 1] = '\0';
}

int gtw_open(gtw_conn *conn, const char *host, int type) {
  char text[GTW_TEXT_SIZE];
  if (int result = gtw_connect(conn, host, type)) {
    return result;
  }

  char hostname[GTW_HOSTNAME_SIZE];
  gtw_local_host(hostname, sizeof hostname);
  const char *user = plat_text().user;

  int result;
  switch (type) {
    case GTW_OPEN_LOCK:
      result = take_lock(conn, host, user, hostname);
      break;
    case GTW_OPEN_START:
    case GTW_OPEN_START_E:
    case GTW_OPEN_START_A:
      result = start_interface(conn, type, user, hostname);
      break;
    default:
      snprintf(text, sizeof text, "invalid open type %d", type);
      close_both(conn);
      result = open_failed(text);
      break;
  }
  if (result & GTW_FAILED) {
    plat_socket_cleanup();
  }
  return result;
}

bool gtw_close(gtw_conn *conn, unsigned char release) {
  trace_event(trace_kind::close, release ? "release" : "no release");
  // The replies are not looked at; their messages stay queued.
  bool released = true;
  if (conn->started) {
    gtw_send_command(conn, release ? "end -r\n" : "end\n", nullptr, nullptr);
  } else if (release) {
    released = release_lock(conn);
  }
  plat_close_socket(conn->command_socket);
  plat_close_socket(conn->control_socket);
  plat_socket_cleanup();
  return released;
}
