// tarvik-tape: compile, dump, synthesise, import, compress and decompress tapes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "dates.h"
#include "import_error.h"
#include "importer.h"
#include "synth.h"
#include "tape_convert.h"
#include "tape_script.h"
#include "tape_writer.h"

using namespace tarvik;
using namespace tarvik::tool;

namespace {

constexpr const char* kUsage =
    "usage: tarvik-tape compile SCRIPT.jsonl -o TAPE [--no-compress]\n"
    "       tarvik-tape dump TAPE [-o SCRIPT.jsonl]\n"
    "       tarvik-tape synth -o TAPE [--symbols N] [--options-per-symbol N] [--messages N]\n"
    "                         [--seed N] [--mix QUOTES,MMQUOTES,TRADES,CATEGORIES] [--date YYYY-MM-DD]\n"
    "                         [--live --rate N] [--no-compress]\n"
    "       tarvik-tape import [--quotes FILE]... [--trades FILE]... [--mm-quotes FILE]... [--changes FILE]...\n"
    "                          [--symbols FILE] [--conditions FILE] -o TAPE (or 'day-{date}.tape')\n"
    "                          [--date YYYY-MM-DD] [--time-zone ZONE] [--time-unit s|ms|us|ns]\n"
    "                          [--price-type N] [--listed-exg N] [--rename VENDOR=OURS,...]\n"
    "                          [--ignore-extra-columns] [--sort] [--allow-empty] [--fractional-sizes]\n"
    "                          [--temp-dir DIR] [--delimiter C] [--no-compress]\n"
    "       (FILE: CSV, plain, .gz or .zst, or Parquet; docs/import.md)\n"
    "       tarvik-tape compress TAPE -o TAPE\n"
    "       tarvik-tape decompress TAPE -o TAPE\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The options without a value.
bool is_flag(const std::string& a) {
    return a == "--live" || a == "--ignore-extra-columns" || a == "--sort" || a == "--allow-empty" ||
           a == "--fractional-sizes" || a == "--no-compress";
}

// Options after the command: "--name value" pairs and positional words.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> named;

    Arguments(int argc, char** argv) {
        for (int i = 2; i < argc; ++i) {
            std::string a = argv[i];
            if (is_flag(a)) {
                named.emplace_back(a, "1");
            } else if (a.size() > 1 && a[0] == '-') {
                if (i + 1 >= argc) throw UsageError("option " + a + " needs a value");
                named.emplace_back(a, argv[++i]);
            } else {
                positional.push_back(a);
            }
        }
    }
    std::vector<std::string> all(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& [k, v] : named)
            if (k == name) out.push_back(v);
        return out;
    }
    std::string get(const std::string& name, const std::string& fallback = "") const {
        for (const auto& [k, v] : named)
            if (k == name) return v;
        return fallback;
    }
    void allow(std::initializer_list<const char*> names) const {
        for (const auto& [k, v] : named) {
            bool ok = false;
            for (const char* n : names) ok = ok || k == n;
            if (!ok) throw UsageError("unknown option " + k);
        }
    }
};

uint64_t number(const std::string& text, const char* option, uint64_t max) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || v > max)
        throw UsageError(std::string("option ") + option + ": expected a number up to " + std::to_string(max));
    return v;
}

uint32_t date_option(const std::string& text, uint32_t fallback) {
    if (text.empty()) return fallback;
    int y, m, d;
    char tail;
    if (std::sscanf(text.c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) != 3 || !engine::valid_ymd(y, m, d))
        throw UsageError("option --date: expected YYYY-MM-DD");
    return engine::ndays_from_ymd(y, m, d);
}

std::string output(const Arguments& args) {
    const std::string out = args.get("-o");
    if (out.empty()) throw UsageError("-o TAPE is required");
    return out;
}

// Tapes are written packed unless --no-compress asks for a plain one.
engine::TapeEncoding encoding(const Arguments& args) {
    return args.get("--no-compress").empty() ? engine::TapeEncoding::Packed : engine::TapeEncoding::Plain;
}

int compile(const Arguments& args) {
    args.allow({"-o", "--no-compress"});
    if (args.positional.size() != 1) throw UsageError("compile takes one script");
    std::ifstream in(args.positional[0]);
    if (!in) throw InputError(args.positional[0] + ": cannot be opened");
    const TapeContents tape = compile_script(in, args.positional[0]);
    write_tape_contents(tape, output(args), encoding(args));
    return 0;
}

int dump(const Arguments& args) {
    args.allow({"-o"});
    if (args.positional.size() != 1) throw UsageError("dump takes one tape");
    const TapeContents tape = read_tape_contents(args.positional[0]);
    const std::string out = args.get("-o");
    if (out.empty()) {
        dump_script(tape, std::cout);
        std::cout.flush();
        return std::cout ? 0 : 1;
    }
    const std::string temp = out + ".partial";
    {
        std::ofstream file(temp);
        dump_script(tape, file);
        if (!file.flush()) {
            std::remove(temp.c_str());
            throw InputError(out + ": cannot be written");
        }
    }
    if (std::rename(temp.c_str(), out.c_str()) != 0) throw InputError(out + ": cannot be written");
    return 0;
}

int synth(const Arguments& args) {
    args.allow({"-o", "--symbols", "--options-per-symbol", "--messages", "--seed", "--mix", "--date", "--live",
                "--rate", "--no-compress"});
    if (!args.positional.empty()) throw UsageError("synth takes no positional arguments");
    SynthOptions o;
    o.symbols = static_cast<uint32_t>(number(args.get("--symbols", "300"), "--symbols", 100'000));
    o.options_per_symbol =
        static_cast<uint32_t>(number(args.get("--options-per-symbol", "20"), "--options-per-symbol", 1000));
    o.messages = number(args.get("--messages", "3000000"), "--messages", 2'000'000'000);
    o.seed = number(args.get("--seed", "1"), "--seed", UINT64_MAX);
    o.date_ndays = date_option(args.get("--date"), o.date_ndays);
    const bool live = !args.get("--live").empty();
    o.rate = number(args.get("--rate", "0"), "--rate", 1'000'000'000);
    if (o.rate > 0 && !live) throw UsageError("option --rate: only with --live");
    const std::string mix = args.get("--mix");
    if (!mix.empty()) {
        unsigned a, b, c, d;
        char tail;
        if (std::sscanf(mix.c_str(), "%u,%u,%u,%u%c", &a, &b, &c, &d, &tail) != 4 || a + b + c + d == 0 ||
            a + b + c + d > 1'000'000)
            throw UsageError("option --mix: expected four weights, e.g. 80,5,14,1");
        o.mix[0] = a, o.mix[1] = b, o.mix[2] = c, o.mix[3] = d;
    }
    if (o.symbols == 0) throw UsageError("option --symbols: at least one symbol");
    const engine::TapeTables tables = synth_tables(o);
    engine::TapeWriter writer(encoding(args));
    std::string error;
    const bool opened = live ? writer.open_live(output(args), tables, error)
                             : writer.open_file(output(args), tables, error);
    if (!opened) throw InputError(error);
    synth_events(o, tables, writer);
    if (!writer.finish(error)) throw InputError(error);
    return 0;
}

int import_files(const Arguments& args) {
    args.allow({"-o", "--quotes", "--trades", "--mm-quotes", "--changes", "--symbols", "--conditions", "--date",
                "--time-zone", "--time-unit", "--price-type", "--listed-exg", "--rename", "--ignore-extra-columns",
                "--sort", "--allow-empty", "--fractional-sizes", "--temp-dir", "--delimiter", "--no-compress"});
    if (!args.positional.empty()) throw UsageError("import takes no positional arguments");
    import::ImportOptions o;
    o.output = output(args);
    const std::pair<const char*, import::InputKind> kinds[] = {
        {"--conditions", import::InputKind::Conditions}, {"--symbols", import::InputKind::Symbols},
        {"--changes", import::InputKind::Changes},       {"--quotes", import::InputKind::Quotes},
        {"--mm-quotes", import::InputKind::MMQuotes},    {"--trades", import::InputKind::Trades}};
    for (const auto& [option, kind] : kinds) {
        const std::vector<std::string> paths = args.all(option);
        if ((kind == import::InputKind::Symbols || kind == import::InputKind::Conditions) && paths.size() > 1)
            throw UsageError(std::string("option ") + option + ": give one file");
        for (const std::string& path : paths) o.inputs.push_back({kind, path, path, nullptr, nullptr});
    }
    if (args.all("--quotes").empty() && args.all("--trades").empty() && args.all("--mm-quotes").empty() &&
        args.all("--changes").empty())
        throw UsageError("import needs --quotes, --trades, --mm-quotes or --changes");
    if (!args.get("--date").empty()) o.date_ndays = date_option(args.get("--date"), 0);
    if (!args.get("--time-zone").empty()) o.time_zone = args.get("--time-zone");
    if (!args.get("--time-unit").empty()) {
        o.time_unit = import::parse_time_unit(args.get("--time-unit"));
        if (!o.time_unit) throw UsageError("option --time-unit: expected s, ms, us or ns");
    }
    if (!args.get("--price-type").empty())
        o.price_type = static_cast<uint8_t>(number(args.get("--price-type"), "--price-type", 255));
    o.listed_exg = static_cast<uint16_t>(number(args.get("--listed-exg", "1"), "--listed-exg", 65535));
    for (const std::string& list : args.all("--rename")) {
        std::size_t at = 0;
        while (at <= list.size()) {
            const std::size_t end = std::min(list.find(',', at), list.size());
            const std::string pair = list.substr(at, end - at);
            const std::size_t eq = pair.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == pair.size())
                throw UsageError("option --rename: expected VENDOR=OURS pairs separated by commas, got '" + pair + "'");
            o.rename.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
            at = end + 1;
        }
    }
    o.ignore_extra_columns = !args.get("--ignore-extra-columns").empty();
    o.sort = !args.get("--sort").empty();
    o.allow_empty = !args.get("--allow-empty").empty();
    o.fractional_sizes = !args.get("--fractional-sizes").empty();
    o.temp_dir = args.get("--temp-dir");
    o.compress = encoding(args) == engine::TapeEncoding::Packed;
    const std::string delimiter = args.get("--delimiter");
    if (delimiter == "\\t" || delimiter == "tab") o.delimiter = '\t';
    else if (delimiter.size() == 1) o.delimiter = delimiter[0];
    else if (!delimiter.empty()) throw UsageError("option --delimiter: expected one character, or tab");
    try {
        import::run_import(std::move(o));
    } catch (const import::ImportUsageError& e) {
        const std::string what = e.what();
        // A build without Arrow cannot import at all: that is no bad command line.
        if (what.rfind("import needs Apache Arrow", 0) == 0) throw InputError(what);
        throw UsageError(what);
    } catch (const import::ImportError& e) {
        throw InputError(e.what());
    }
    return 0;
}

int convert(const Arguments& args, engine::TapeEncoding to) {
    args.allow({"-o"});
    if (args.positional.size() != 1) throw UsageError("compress and decompress take one tape");
    convert_tape(args.positional[0], output(args), to);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    try {
        const Arguments args(argc, argv);
        if (command == "compile") return compile(args);
        if (command == "dump") return dump(args);
        if (command == "synth") return synth(args);
        if (command == "import") return import_files(args);
        if (command == "compress") return convert(args, engine::TapeEncoding::Packed);
        if (command == "decompress") return convert(args, engine::TapeEncoding::Plain);
        throw UsageError("unknown command " + command);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tarvik-tape: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const InputError& e) {
        std::fprintf(stderr, "tarvik-tape: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-tape: %s\n", e.what());
        return 1;
    }
}
