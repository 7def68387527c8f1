#pragma once
// The one small interface through which a long job reports to whichever
// front end runs it: the status line, the progress bar with its text, the
// labelled counters, the help strip, and message and question prompts. The
// wizard receives it through queued signals; the command line draws one
// progress line on stderr. Jobs call it from their own thread.

#include <cstdint>
#include <string>

namespace qvx::util {

enum class MessageKind { Error, Information, Warning };

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void setStatusText(const std::string& /*text*/) {}
    /// percent 0..100 with the bar's text (e.g. "Completed ").
    virtual void setProgress(int /*percent*/, const std::string& /*text*/) {}
    /// A labelled counter of the search screen, e.g. ("Folders Found", "12").
    virtual void setCounter(const std::string& /*label*/, const std::string& /*value*/) {}
    /// How much of the current stage is done: done of total in unit
    /// ("bytes", or a noun such as "probes"); done never exceeds total. Front
    /// ends that show a rate and the time left use it; others ignore it.
    virtual void setAmount(std::uint64_t /*done*/, std::uint64_t /*total*/, const char* /*unit*/) {}
    virtual void setHelpText(const std::string& /*text*/) {}
    virtual void showMessage(const std::string& /*text*/, MessageKind /*kind*/) {}
    /// A Yes/No question; returns true for Yes. defaultNo marks No as the default button.
    virtual bool askYesNo(const std::string& /*text*/, bool defaultNo) { return !defaultNo; }
};

/// Reports nothing and answers every question with its default.
class NullProgress : public ProgressSink {};

}  // namespace qvx::util
