#include "cli/help_all.h"

#include <string>
#include <utility>
#include <vector>

namespace qvx::cli {

namespace {

constexpr std::size_t kNameColumn = 30;

/// "TEXT:{a,b}" -> "{a,b}", "INT:N" -> "N"; a bare "TEXT" or "INT" stays.
std::string valueName(const CLI::Option& opt) {
    std::string type = opt.get_type_name();
    for (const char* prefix : {"TEXT:", "INT:", "UINT:"}) {
        const std::string p = prefix;
        if (type.rfind(p, 0) == 0 && type.size() > p.size()) return type.substr(p.size());
    }
    return type;
}

std::string spelling(const CLI::Option& opt) {
    if (opt.get_positional()) return opt.get_name(true);
    std::string out;
    for (const auto& s : opt.get_snames()) out += (out.empty() ? "-" : ", -") + s;
    for (const auto& l : opt.get_lnames()) out += (out.empty() ? "--" : ", --") + l;
    if (opt.get_type_size_max() > 0 && opt.get_expected_max() > 0) {
        out += ' ' + valueName(opt);
        if (opt.get_expected_max() > 1) out += " ...";
    }
    return out;
}

void writeEntry(std::ostream& out, const std::string& name, const std::string& text) {
    std::string line = "  " + name;
    if (line.size() + 2 > kNameColumn) {
        out << line << '\n' << std::string(kNameColumn, ' ') << text << '\n';
        return;
    }
    line.resize(kNameColumn, ' ');
    out << line << text << '\n';
}

void writeOptions(std::ostream& out, CLI::App& app) {
    // Positionals first, as the usage line names them.
    for (bool positional : {true, false}) {
        for (CLI::Option* opt : app.get_options()) {
            if (opt->get_positional() != positional || opt->get_group().empty()) continue;
            std::string text = opt->get_description();
            if (positional && opt->get_required()) text += " (required)";
            writeEntry(out, spelling(*opt), text);
        }
    }
}

std::string usageOf(CLI::App& sub) {
    std::string usage = "qvx " + sub.get_name();
    for (CLI::Option* opt : sub.get_options())
        if (opt->get_positional()) usage += opt->get_required() ? " " + opt->get_name(true) : " [" + opt->get_name(true) + "]";
    return usage + " [OPTIONS]";
}

}  // namespace

void writeFullHelp(CLI::App& app, std::ostream& out) {
    std::vector<CLI::App*> subs = app.get_subcommands([](CLI::App* s) { return !s->get_name().empty(); });
    out << "Usage: qvx [OPTIONS] COMMAND [ARGS]\n\n" << app.get_description() << "\n\nOptions:\n";
    writeOptions(out, app);
    out << "\nCommands:\n";
    for (CLI::App* s : subs) writeEntry(out, s->get_name(), s->get_description());
    for (CLI::App* s : subs) {
        out << '\n' << usageOf(*s) << ":\n  " << s->get_description() << ".\n\n";
        writeOptions(out, *s);
    }
}

}  // namespace qvx::cli
