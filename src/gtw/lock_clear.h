// Clearing a lock marker left on a target: the lock probe, the decision
// whose marker it is, and its removal.  romupdate-unlock uses it, and so does
// the exit routine when it comes back to a target whose connection was lost.
#pragma once

#include <string>
#include <vector>

#include "gtw/gtw.h"
#include "gtw/lock_marker.h"

struct lock_clearing {
  enum class outcome {
    free,          // no marker: nobody held the target
    removed,       // the marker was removed and the target is free now
    left,          // another holder's marker, left in place
    still_locked,  // removed, yet the probe still finds a marker
    lost,          // the connection failed half-way; the lock is as it was
  };
  outcome result = outcome::lost;
  bool ours = false;               // the marker named this user on this host
  lock_holder holder;              // as read from the marker
  std::vector<std::string> lines;  // the marker as the probe showed it
};

// The lock probe on a connection made with gtw_connect in lock mode: the
// marker's lines, none when the target is free.  It opens the "lanlk -e"
// bracket, which the caller ends with GTW_LOCK_END.  The probe's own result
// says nothing (a free target's complaint may read "ERROR"), so its messages
// are dropped; the command after it tells whether the connection is there.
std::vector<std::string> gtw_probe_lock(gtw_conn *conn);

// On a connection made with gtw_connect in lock mode: probes the lock and
// removes the marker when it is ours, or anyone's with `force`.  With
// `gateway_only` a marker of ours counts only when it names the gateway user
// interface: one a run of romupdate here wrote, not a debugger session of
// the same user on the same host.  The probe
// and the removal are bracketed by "lanlk -e" ... "lanlk -d" like an
// opening.  The connection is left open for the caller to use or close; the
// reasons of a lost connection are queued.
lock_clearing gtw_clear_lock(gtw_conn *conn, bool force, bool gateway_only = false);
