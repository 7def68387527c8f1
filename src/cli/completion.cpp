#include "cli/completion.h"

#include <string>
#include <vector>

namespace qvx::cli {

namespace {

struct OptionWords {
    std::vector<std::string> names;    // every spelling: --partition -p
    bool takesValue = false;
    std::vector<std::string> choices;  // from a "{a,b,c}" member check
};

std::string joined(const std::vector<std::string>& words, char separator = ' ') {
    std::string out;
    for (const auto& w : words) {
        if (!out.empty()) out += separator;
        out += w;
    }
    return out;
}

/// The choices of an IsMember check, whose description reads "{a,b,c}".
std::vector<std::string> choicesOf(CLI::Option& opt) {
    std::vector<std::string> out;
    for (int i = 0;; ++i) {
        CLI::Validator* v = nullptr;
        try {
            v = opt.get_validator(i);
        } catch (const CLI::OptionNotFound&) {
            break;
        }
        const std::string desc = v->get_description();
        if (desc.size() < 2 || desc.front() != '{' || desc.back() != '}') continue;
        std::string word;
        for (std::size_t k = 1; k + 1 < desc.size(); ++k) {
            const char c = desc[k];
            if (c == ',') {
                if (!word.empty()) out.push_back(word);
                word.clear();
            } else if (c != ' ') {
                word += c;
            }
        }
        if (!word.empty()) out.push_back(word);
    }
    return out;
}

std::vector<OptionWords> optionsOf(CLI::App& app) {
    std::vector<OptionWords> out;
    for (CLI::Option* opt : app.get_options()) {
        if (!opt->nonpositional() || opt->get_group().empty()) continue;  // positional or hidden
        OptionWords words;
        for (const auto& l : opt->get_lnames()) words.names.push_back("--" + l);
        for (const auto& s : opt->get_snames()) words.names.push_back("-" + s);
        if (words.names.empty()) continue;
        words.takesValue = opt->get_type_size_max() > 0 && opt->get_expected_max() > 0;
        if (words.takesValue) words.choices = choicesOf(*opt);
        out.push_back(std::move(words));
    }
    return out;
}

/// Bash function name part for a sub-command ("load-log" -> "load_log").
std::string identifier(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c == '-') c = '_';
    return out;
}

void writeValueCases(const std::vector<OptionWords>& options, std::ostream& out) {
    out << "  case \"$prev\" in\n";
    for (const auto& o : options) {
        if (!o.takesValue) continue;
        out << "    " << joined(o.names, '|');
        if (!o.choices.empty())
            out << ")\n      COMPREPLY=($(compgen -W \"" << joined(o.choices) << "\" -- \"$cur\")); return ;;\n";
        else
            out << ")\n      COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    }
    out << "  esac\n";
}

}  // namespace

void writeBashCompletion(CLI::App& app, std::ostream& out) {
    std::vector<CLI::App*> subs = app.get_subcommands([](CLI::App* s) { return !s->get_name().empty(); });
    std::vector<std::string> subNames;
    for (CLI::App* s : subs) subNames.push_back(s->get_name());
    std::vector<std::string> topWords;
    std::vector<std::string> inherited;  // options of qvx itself, accepted after a sub-command too
    for (const auto& o : optionsOf(app)) {
        for (const auto& n : o.names) {
            topWords.push_back(n);
            if (n != "--help" && n != "-h" && n != "--help-all" && n != "--version") inherited.push_back(n);
        }
    }

    out << "# bash completion for qvx (written by qvx --bash-completion)\n\n";
    for (CLI::App* s : subs) {
        const auto options = optionsOf(*s);
        std::vector<std::string> words;
        for (const auto& o : options)
            for (const auto& n : o.names) words.push_back(n);
        words.insert(words.end(), inherited.begin(), inherited.end());
        out << "_qvx_" << identifier(s->get_name()) << "() {\n";
        out << "  local cur=$1 prev=$2\n";
        writeValueCases(options, out);
        out << "  if [[ $cur == -* ]]; then\n";
        out << "    COMPREPLY=($(compgen -W \"" << joined(words) << "\" -- \"$cur\"))\n";
        out << "  else\n";
        out << "    COMPREPLY=($(compgen -f -- \"$cur\"))\n";
        out << "  fi\n";
        out << "}\n\n";
    }
    out << "_qvx() {\n";
    out << "  local cur=${COMP_WORDS[COMP_CWORD]} prev=\n";
    out << "  (( COMP_CWORD > 0 )) && prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    out << "  local i sub=\n";
    out << "  for (( i = 1; i < COMP_CWORD; i++ )); do\n";
    out << "    case ${COMP_WORDS[i]} in\n";
    out << "      " << joined(subNames, '|') << ")\n";
    out << "        sub=${COMP_WORDS[i]}; break ;;\n";
    out << "    esac\n";
    out << "  done\n";
    out << "  case $sub in\n";
    for (CLI::App* s : subs)
        out << "    " << s->get_name() << ") _qvx_" << identifier(s->get_name()) << " \"$cur\" \"$prev\" ;;\n";
    out << "    *)\n";
    out << "      if [[ $cur == -* ]]; then\n";
    out << "        COMPREPLY=($(compgen -W \"" << joined(topWords) << "\" -- \"$cur\"))\n";
    out << "      else\n";
    out << "        COMPREPLY=($(compgen -W \"" << joined(subNames) << "\" -- \"$cur\"))\n";
    out << "      fi ;;\n";
    out << "  esac\n";
    out << "}\n";
    out << "complete -o filenames -o bashdefault -F _qvx qvx\n";
}

}  // namespace qvx::cli
