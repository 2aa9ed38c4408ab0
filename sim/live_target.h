// The live target: the command interpreter against the one target state,
// the faults of the command line, and the download receiver.
#pragma once

#include <memory>
#include <optional>

#include "options.h"
#include "responder.h"
#include "scenario.h"
#include "target.h"
#include "transcript.h"

class live_target : public target_model {
 public:
  live_target(const sim_options &options, transcript &log);

  // The flash's starting contents (--flash-image).  false with `error` set.
  bool load_flash(std::string &error);
  // Writes the flash dump (--dump-flash) when the flash changed since the
  // last one, or always when `force` is set.  A failure is reported on
  // standard error and does not stop the simulator.
  void dump_flash(bool force = false);

  std::unique_ptr<responder> on_connect(unsigned id) override;
  void on_reboot() override;
  port_state ports(sim_clock::time_point now) override;
  void settle() override { dump_flash(); }

 private:
  friend class live_session;
  const sim_options &options_;
  transcript &log_;
  target_state target_;
  scenario faults_;
  bool rebooting_ = false;
  sim_clock::time_point back_at_{};
};
