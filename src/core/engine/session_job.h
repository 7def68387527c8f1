#pragma once
// Saving the result of an analysis to a session log and loading one back:
// the model check against the selected disk, the refill of the tables and
// the rebuild of the folder tree. A load decodes and rebuilds everything
// aside first and replaces the recovery state only when all of it is valid.

#include <cstdint>
#include <span>
#include <stop_token>
#include <string>

#include "engine/recovery_state.h"
#include "session/session_log.h"
#include "util/progress.h"

namespace qvx::engine {

/// The header of the session of state: its choices, parameters and active
/// volume. selectedPartition is the partition chosen on the partition
/// screen (1-based as listed, 0 for a sector range).
session::SessionHeader sessionHeaderOf(const RecoveryState& state, const std::string& diskModelText,
                                       int selectedPartition);

/// Writes the session of state (tree and, on NTFS, FileTable) to path as
/// given. False with the cause in error; no partial file is left.
bool SaveSession(const RecoveryState& state, const std::string& path, const std::string& diskModelText,
                 int selectedPartition, std::string& error);

enum class SessionLoadStatus {
    Loaded,   // the tables, parameters and tree are those of the log
    Refused,  // corrupted, or made for another disk; the state is untouched
    Stopped,  // stopped on request; the state is untouched
};

struct SessionLoadResult {
    SessionLoadStatus status = SessionLoadStatus::Refused;
    int selectedPartition = 0;  // as recorded in the log
    std::string reason;         // why a log was refused, for diagnostics
};

/// Loads a log held in memory against the disk whose model text is
/// currentModelText (compared exactly with its first 49 characters). On
/// refusal shows "Either the selected log file is corrupted or you have
/// selected the wrong disk for recovery.".
SessionLoadResult loadSession(RecoveryState& state, std::span<const std::uint8_t> bytes,
                              const std::string& currentModelText, util::ProgressSink& progress,
                              std::stop_token stop = {});

/// Reads the file at path and loads it as loadSession does; a file that
/// cannot be read is refused with the same message.
SessionLoadResult loadSessionFile(RecoveryState& state, const std::string& path,
                                  const std::string& currentModelText, util::ProgressSink& progress,
                                  std::stop_token stop = {});

}  // namespace qvx::engine
