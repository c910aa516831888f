// tarvik-tape: compile, dump, synthesise, import, look at, check, compress
// and decompress tapes.
// The command line is CLI11's; each command is a thin layer over its core
// (tape_script, synth, import/, tape_info/).
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tarvik/c_text.h"
#include "engine/dates.h"
#include "engine/output_file.h"
#include "import_error.h"
#include "importer.h"
#include "progress.h"
#include "synth.h"
#include "tape_convert.h"
#include "engine/tape_format.h"
#include "tape_info.h"
#include "tape_script.h"
#include "engine/tape_writer.h"

using namespace tarvik;
using namespace tarvik::tool;

namespace {

std::string version_text() {
    return std::string("tarvik-tape ") + TARVIK_VERSION + " (engine " + std::to_string(TARVIK_ENGINE_VERSION_MAJOR) +
           "." + std::to_string(TARVIK_ENGINE_VERSION_MINOR) + "." + std::to_string(TARVIK_ENGINE_VERSION_BUILD) +
           ", tape format " + std::to_string(engine::kTapeFormatVersion) + ")";
}

// A request the command line cannot carry out: exit 2, like CLI11's own.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What could not be printed is a failure, not a silent success. Both C's
// and C++'s streams are flushed: CLI11 prints its help through std::cout.
// A stream that failed already has its reason in errno (callers clear it
// before they print); one that fails now, the flush's.
void flush_standard_output() {
    if (std::cout && !std::ferror(stdout)) errno = 0;
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout))
        throw InputError(std::string("standard output: cannot be written") +
                         (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
}

// A script compiled over itself, or a tape dumped over itself, would
// replace the only copy of the input with its other form: refused, as the
// same file under any name (a symlink, a hard link) is.
void refuse_output_over_input(const std::string& input, const std::string& output, const char* written) {
    struct stat in{}, out{};
    if (output.empty() || ::stat(input.c_str(), &in) != 0 || ::stat(output.c_str(), &out) != 0) return;
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        throw UsageError(output + ": the output is the input " + input + ", which the " + written + " would replace");
}

// ---------------------------------------------------------------------------
// Values: each check answers "" or what the option expects.
// ---------------------------------------------------------------------------

CLI::Validator whole_number(uint64_t min, uint64_t max) {
    const std::string expects =
        "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text[0] == '-' || text[0] == '+' || errno == ERANGE || v < min ||
                v > max)
                return expects + ", got '" + text + "'";
            text = std::to_string(v);  // "010" is ten: CLI11 would read a leading zero as octal
            return "";
        },
        "");
}

const CLI::Validator kDate(
    [](std::string& text) -> std::string {
        uint32_t ndays;
        return engine::parse_ymd(text, ndays) ? "" : "expected a date YYYY-MM-DD, got '" + text + "'";
    },
    "");

bool parse_mix(const std::string& text, uint32_t (&mix)[4]) {
    // Four weights of digits alone, of a sum from 1 to 1,000,000.
    uint64_t sum = 0;
    std::size_t at = 0;
    for (int k = 0; k < 4; ++k) {
        const std::size_t end = k < 3 ? text.find(',', at) : text.size();
        if (end == std::string::npos || end == at || end - at > 7) return false;
        uint32_t weight = 0;
        for (std::size_t i = at; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            weight = weight * 10 + static_cast<uint32_t>(text[i] - '0');
        }
        mix[k] = weight;
        sum += weight;
        at = end + 1;
    }
    return sum != 0 && sum <= 1'000'000;
}

const CLI::Validator kMix(
    [](std::string& text) -> std::string {
        uint32_t mix[4];
        return parse_mix(text, mix) ? ""
                                    : "expected four weights of digits separated by commas, each of at most 7 "
                                      "digits and together 1 to 1000000, e.g. 80,5,14,1, got '" + text + "'";
    },
    "");

const CLI::Validator kPath([](std::string& text) -> std::string { return text.empty() ? "expected a path, got ''" : ""; },
                           "");

const CLI::Validator kDateOrder(
    [](std::string& text) -> std::string {
        return import::parse_date_order(text) ? "" : "expected mdy or dmy, got '" + text + "'";
    },
    "");

const CLI::Validator kTimeUnit(
    [](std::string& text) -> std::string {
        return import::parse_time_unit(text) ? "" : "expected s, ms, us, ns, the same with -of-day, or hhmmss, got '" + text + "'";
    },
    "");

// "VENDOR=OURS,..." into pairs; false for a malformed pair, named in `bad`.
bool parse_renames(const std::string& list, std::vector<std::pair<std::string, std::string>>& out, std::string& bad) {
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        const std::string pair = list.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == pair.size()) {
            bad = pair;
            return false;
        }
        out.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        at = end + 1;
    }
    return true;
}

const CLI::Validator kRename(
    [](std::string& text) -> std::string {
        std::vector<std::pair<std::string, std::string>> pairs;
        std::string bad;
        return parse_renames(text, pairs, bad) ? ""
                                               : "expected VENDOR=OURS pairs separated by commas, got '" + bad + "'";
    },
    "");

// "COLUMN=TEXT": the text may hold anything, '=' and ',' too.
bool parse_constant(const std::string& text, std::pair<std::string, std::string>& out) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
    out = {text.substr(0, eq), text.substr(eq + 1)};
    return true;
}

const CLI::Validator kConstant(
    [](std::string& text) -> std::string {
        std::pair<std::string, std::string> pair;
        return parse_constant(text, pair) ? "" : "expected COLUMN=TEXT, got '" + text + "'";
    },
    "");

const CLI::Validator kDelimiter(
    [](std::string& text) -> std::string {
        try {
            import::parse_delimiter(text);
            return "";
        } catch (const import::ImportUsageError& e) {
            return e.what();
        }
    },
    "");

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

// Feeds a file to a reader and tells a progress line how far it got.
class ProgressInput : public std::streambuf {
public:
    ProgressInput(std::streambuf& source, uint64_t total, ProgressLine& line)
        : source_(source), total_(total), line_(line) {}

protected:
    int_type underflow() override {
        const std::streamsize got = source_.sgetn(buffer_, sizeof buffer_);
        if (got <= 0) return traits_type::eof();
        done_ += static_cast<uint64_t>(got);
        line_.update("compile: reading", done_, total_, "bytes");
        setg(buffer_, buffer_, buffer_ + got);
        return traits_type::to_int_type(buffer_[0]);
    }

private:
    std::streambuf& source_;
    uint64_t total_;
    ProgressLine& line_;
    uint64_t done_ = 0;
    char buffer_[1 << 16];
};

// Tapes are written packed unless --no-compress asks for a plain one.
engine::TapeEncoding encoding(bool no_compress) {
    return no_compress ? engine::TapeEncoding::Plain : engine::TapeEncoding::Packed;
}

struct CompileCommand {
    std::string script, output;
    bool quiet = false, no_compress = false;

    void run() const {
        refuse_output_over_input(script, output, "tape");
        std::ifstream in(script, std::ios::binary);
        if (!in) throw InputError(script + ": cannot be opened: " + std::strerror(errno));
        // A pipe (/dev/stdin, a FIFO) is read as it comes, without a total.
        struct stat st{};
        const uint64_t size = ::stat(script.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
        ProgressLine line(!quiet);
        ProgressInput counted(*in.rdbuf(), size, line);
        std::istream input(&counted);
        const TapeContents tape = compile_script(input, script);
        line.clear();
        write_tape_contents(tape, output, encoding(no_compress));
    }
};

struct DumpCommand {
    std::string tape, output;

    int run() const {
        refuse_output_over_input(tape, output, "script");
        const TapeContents contents = read_tape_contents(tape);
        if (output.empty()) {
            errno = 0;
            dump_script(contents, std::cout);
            flush_standard_output();
            return 0;
        }
        // A device or a pipe is written into; a file is written whole beside
        // its name (through symbolic links, the file they lead to), then
        // renamed onto it.
        if (engine::links_loop(output)) throw InputError(output + ": cannot be written: " + std::strerror(ELOOP));
        const bool direct = engine::is_stream_output(output);
        const std::string target = direct ? output : engine::output_target(output);
        const std::string temp = direct ? output : target + ".partial." + std::to_string(::getpid());
        bool replaces = false;  // an earlier file at the name
        {
            struct stat st {};
            replaces = !direct && ::stat(target.c_str(), &st) == 0;
            if (replaces && S_ISDIR(st.st_mode))
                throw InputError(output + ": cannot be written: " + std::strerror(EISDIR));
            errno = 0;
            std::ofstream file(temp, direct ? std::ios::app : std::ios::trunc);
            if (!file.is_open())
                throw InputError(output + ": cannot be written" +
                                 (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()));
            errno = 0;
            dump_script(contents, file);
            if (!file.flush()) {
                const int err = errno;
                if (!direct) std::remove(temp.c_str());
                throw InputError(output + ": cannot be written" +
                                 (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
            }
        }
        // On the disk before it replaces what the name held.
        if (std::string why; replaces && !engine::sync_file(temp, why)) {
            std::remove(temp.c_str());
            throw InputError(output + ": cannot be written: " + why);
        }
        if (!direct && std::rename(temp.c_str(), target.c_str()) != 0) {
            const std::string why = std::strerror(errno);
            std::remove(temp.c_str());
            throw InputError(output + ": cannot be written: " + why);
        }
        return 0;
    }
};

struct SynthCommand {
    SynthOptions o;
    std::string output, date, mix;
    bool live = false, quiet = false, no_compress = false;

    // More instruments than this would need many gigabytes of tables.
    static constexpr uint64_t kMostInstruments = 10'000'000;

    void run() {
        const uint64_t instruments = uint64_t{o.symbols} * (1 + uint64_t{o.options_per_symbol});
        if (instruments > kMostInstruments)
            throw UsageError("--symbols " + std::to_string(o.symbols) + " with --options-per-symbol " +
                             std::to_string(o.options_per_symbol) + " make " + std::to_string(instruments) +
                             " instruments; at most " + std::to_string(kMostInstruments) + " fit a synthetic day");
        if (!date.empty()) engine::parse_ymd(date, o.date_ndays);
        if (!mix.empty()) parse_mix(mix, o.mix);
        const engine::TapeTables tables = synth_tables(o);
        engine::TapeWriter writer(encoding(no_compress));
        std::string error;
        const bool opened = live ? writer.open_live(output, tables, error) : writer.open_file(output, tables, error);
        if (!opened) throw InputError(error);
        ProgressLine line(!quiet);
        synth_events(o, tables, writer,
                     [&](uint64_t written) { line.update("synth: writing", written, o.messages, "messages"); });
        line.clear();
        if (!writer.finish(error)) throw InputError(error);
    }
};

// Ctrl-C (or SIGTERM) during an import: the import stops at its next
// progress report and removes what it has written. A second one, of
// either kind, ends the process at once. A signal the tool was started
// with ignored (a script's job in the background) stays ignored.
volatile std::sig_atomic_t interrupted = 0;

void on_interrupt(int signal) {
    if (interrupted) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    interrupted = 1;
}

class StopOnInterrupt {
public:
    StopOnInterrupt() {
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, nullptr, &old_int_);
        sigaction(SIGTERM, nullptr, &old_term_);
        if (old_int_.sa_handler != SIG_IGN) sigaction(SIGINT, &action, nullptr);
        if (old_term_.sa_handler != SIG_IGN) sigaction(SIGTERM, &action, nullptr);
    }
    ~StopOnInterrupt() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

struct ImportCommand {
    std::vector<std::string> quotes, trades, mm_quotes, changes;
    std::string symbols, conditions, output, date, date_order, time_zone, time_unit, delimiter, temp_dir;
    std::vector<std::string> renames, constants;
    unsigned price_type = 256;  // 256: chosen from the prices
    int price_scale = 0;
    uint16_t listed_exg = 1;
    bool ignore_extra_columns = false, no_header = false, sort = false, allow_empty = false, fractional_sizes = false, quiet = false,
         no_compress = false, one_sided_quotes = false, condition_letters = false;

    void run() {
        import::ImportOptions o;
        o.output = output;
        const std::pair<const std::vector<std::string>*, import::InputKind> data[] = {
            {&changes, import::InputKind::Changes},
            {&quotes, import::InputKind::Quotes},
            {&mm_quotes, import::InputKind::MMQuotes},
            {&trades, import::InputKind::Trades}};
        if (!conditions.empty()) o.inputs.push_back({import::InputKind::Conditions, conditions, conditions, nullptr});
        if (!symbols.empty()) o.inputs.push_back({import::InputKind::Symbols, symbols, symbols, nullptr});
        for (const auto& [paths, kind] : data)
            for (const std::string& path : *paths) o.inputs.push_back({kind, path, path, nullptr});
        if (quotes.empty() && trades.empty() && mm_quotes.empty() && changes.empty())
            throw UsageError("import needs --quotes, --trades, --mm-quotes or --changes");
        if (!date.empty()) o.date_ndays = import::parse_date(date);
        if (!time_zone.empty()) o.time_zone = time_zone;
        if (!time_unit.empty()) o.time_unit = import::parse_time_unit(time_unit);
        if (!date_order.empty()) o.date_order = *import::parse_date_order(date_order);
        if (price_type < 256) o.price_type = static_cast<uint8_t>(price_type);
        o.price_scale = price_scale;
        o.listed_exg = listed_exg;
        std::string bad;
        for (const std::string& list : renames) parse_renames(list, o.rename, bad);
        for (const std::string& text : constants) parse_constant(text, o.constants.emplace_back());
        o.ignore_extra_columns = ignore_extra_columns;
        o.header = !no_header;
        o.sort = sort;
        o.allow_empty = allow_empty;
        o.fractional_sizes = fractional_sizes;
        o.one_sided_quotes = one_sided_quotes;
        o.condition_letters = condition_letters;
        o.temp_dir = temp_dir;
        o.compress = !no_compress;
        if (!delimiter.empty()) o.delimiter = import::parse_delimiter(delimiter);
        ProgressLine line(!quiet);
        o.progress = [&line](import::ImportStage stage, uint64_t done, uint64_t total) {
            if (interrupted != 0) throw import::ImportStopped("import: interrupted; nothing was written");
            if (stage == import::ImportStage::Reading) line.update("import: reading", done, 0, "rows");
            else if (stage == import::ImportStage::Sorting) line.update("import: sorting", done, total, "rows");
            else line.update("import: writing", done, total, "events");
        };
        const StopOnInterrupt stop_on_interrupt;
        try {
            import::run_import(std::move(o));
        } catch (const import::ImportStopped&) {
            line.clear();
            throw;
        } catch (const import::ImportUsageError& e) {
            line.clear();
            const std::string what = e.what();
            // A build without Arrow cannot import at all: that is no bad command line.
            if (what.rfind("import needs Apache Arrow", 0) == 0) throw InputError(what);
            throw UsageError(what);
        } catch (const import::ImportError& e) {
            line.clear();
            throw InputError(e.what());
        }
    }
};

// A tape's own text as one line a terminal shows as it is: control
// characters (a line break, an escape sequence) as \n, \x1b and the like.
std::string shown_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        char escaped[7];
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (u < 0x20 || u == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        } else if (u == 0xc2 && next >= 0x80 && next <= 0x9f) {
            // U+0080 to U+009F are controls too (U+009B starts a sequence as ESC [ does).
            std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
            out += escaped;
            ++i;
        } else out += c;
    }
    return out;
}

struct InfoCommand {
    std::vector<std::string> tapes;
    bool check = false;  // read every byte (the check command)

    int run() const {
        int status = 0;
        bool printed = false;
        for (const std::string& path : tapes) {
            tape_info::TapeInfo info;
            tape_info::TapeProblem problem;
            if (!tape_info::inspect_tape(path, check ? tape_info::Scope::Everything : tape_info::Scope::Heads, info,
                                         problem)) {
                std::fprintf(stderr, "tarvik-tape: %s\n", problem.message().c_str());
                status = 1;
                continue;
            }
            if (check) {
                std::printf("%s: sound: %s events in %s blocks; every CRC and index checks\n", path.c_str(),
                            tape_info::grouped(info.events).c_str(), tape_info::grouped(info.blocks).c_str());
                continue;
            }
            if (printed) std::putchar('\n');
            print(info);
            printed = true;
        }
        flush_standard_output();
        return status;
    }

    static void print(const tape_info::TapeInfo& i) {
        std::printf("tape          %s\n", i.path.c_str());
        std::printf("size          %s bytes\n", tape_info::grouped(i.size).c_str());
        std::printf("format        version %u\n", i.format_version);
        std::printf("date          %s\n", engine::ymd_text(i.date_ndays).c_str());
        std::printf("time zone     %+d hours to GMT\n", i.time_zone);
        std::printf("display       %s\n", shown_text(i.display).c_str());
        std::printf("symbols       %s\n", tape_info::grouped(i.symbols).c_str());
        std::printf("options       %s\n", tape_info::grouped(i.options).c_str());
        std::printf("events        %s in %s blocks\n", tape_info::grouped(i.events).c_str(), tape_info::grouped(i.blocks).c_str());
        if (i.events > 0) {
            const auto shown = [](uint64_t micros) {
                return micros == tape_info::TapeInfo::kUnknownTime ? std::string("unknown: its block cannot be read")
                                                                   : tape_info::time_of_day_text(micros);
            };
            std::printf("first event   %s\n", shown(i.first_micros).c_str());
            std::printf("last event    %s\n", shown(i.last_micros).c_str());
        }
        std::printf("complete      %s\n", i.complete ? "yes" : "no: no End section yet (a live tape, or cut short)");
    }
};

// ---------------------------------------------------------------------------
// The command line
// ---------------------------------------------------------------------------

CLI::Option* add_quiet(CLI::App& command, bool& quiet) {
    return command.add_flag("-q,--quiet", quiet, "show no progress line");
}

// Prints a parse error the way the tool prints every error, with a pointer
// to the help of the command that was being read.
int usage_error(const CLI::App& app, const std::string& message) {
    std::string command = "tarvik-tape";
    for (const CLI::App* sub : app.get_subcommands()) command += " " + sub->get_name();
    std::fprintf(stderr, "tarvik-tape: %s\nRun '%s --help' for its usage.\n", message.c_str(), command.c_str());
    return 2;
}

// Copies a tape into a packed or a plain one (compress, decompress).
struct ConvertCommand {
    std::string input, output;
    bool quiet = false;

    void run(engine::TapeEncoding encoding, const char* stage) const {
        ProgressLine line(!quiet);
        convert_tape(input, output, encoding,
                     [&](uint64_t done, uint64_t total) { line.update(stage, done, total, "bytes"); });
    }
};

// Every command with its options, and the command line that was read.
struct Commands {
    CompileCommand compile;
    DumpCommand dump;
    SynthCommand synth;
    ImportCommand import_files;
    InfoCommand info;
    InfoCommand check{{}, true};
    ConvertCommand convert;
    CLI::App *compile_app, *dump_app, *synth_app, *import_app, *info_app, *check_app, *compress_app,
        *decompress_app;
};

void add_compile_and_dump(CLI::App& app, Commands& c) {
    c.compile_app = app.add_subcommand("compile", "Compile a tape script (JSON Lines) into a tape.");
    c.compile_app->add_option("script", c.compile.script, "the script")->required()->type_name("SCRIPT.jsonl");
    c.compile_app->add_option("-o", c.compile.output, "the tape to write")->required()->type_name("TAPE")->check(kPath);
    add_quiet(*c.compile_app, c.compile.quiet);
    c.compile_app->add_flag("--no-compress", c.compile.no_compress, "write a plain tape (format version 1)");

    c.dump_app = app.add_subcommand("dump", "Write a tape as a script that compiles back to the same bytes.");
    c.dump_app->add_option("tape", c.dump.tape, "the tape")->required()->type_name("TAPE");
    c.dump_app->add_option("-o", c.dump.output, "the script to write (default: standard output)")
        ->type_name("SCRIPT.jsonl")
        ->check(kPath);
}

void add_synth(CLI::App& app, Commands& c) {
    SynthCommand& synth = c.synth;
    CLI::App* synth_app = c.synth_app = app.add_subcommand("synth", "Synthesise a deterministic trading day.");
    synth_app->add_option("-o", synth.output, "the tape to write")->required()->type_name("TAPE")->check(kPath);
    synth_app->add_option("--symbols", synth.o.symbols, "symbols, 1 to 100000 (default 300)")->type_name("N")->transform(whole_number(1, 100'000));
    synth_app->add_option("--options-per-symbol", synth.o.options_per_symbol, "option contracts a symbol, 0 to 1000 (default 20)")
        ->type_name("N")->transform(whole_number(0, 1000));
    synth_app->add_option("--messages", synth.o.messages, "messages (default 3000000)")
        ->type_name("N")->transform(whole_number(0, 2'000'000'000));
    synth_app->add_option("--seed", synth.o.seed, "the seed (default 1)")->type_name("N")->transform(whole_number(0, UINT64_MAX));
    synth_app->add_option("--mix", synth.mix, "weights of quotes, market-maker quotes, trades, categories (80,5,14,1)")
        ->type_name("Q,MM,T,C")->check(kMix);
    synth_app->add_option("--date", synth.date, "the day (default 2023-03-15)")->type_name("YYYY-MM-DD")->check(kDate);
    CLI::Option* live = synth_app->add_flag("--live", synth.live, "write a live tape, block by block");
    synth_app->add_option("--rate", synth.o.rate, "messages a second of a live tape (default 0: as fast as it writes)")
        ->type_name("N")->transform(whole_number(0, 1'000'000'000))
        ->needs(live);
    add_quiet(*synth_app, synth.quiet);
    synth_app->add_flag("--no-compress", synth.no_compress, "write a plain tape (format version 1)");
}

void add_import(CLI::App& app, Commands& c) {
    ImportCommand& import_files = c.import_files;
    CLI::App* import_app = c.import_app =
        app.add_subcommand("import", "Import vendor files (CSV, .gz, .zst, Parquet) into tapes (docs/import.md).");
    import_app->add_option("--quotes", import_files.quotes, "exchange quotes")->type_name("FILE")->take_all();
    import_app->add_option("--trades", import_files.trades, "trades")->type_name("FILE")->take_all();
    import_app->add_option("--mm-quotes", import_files.mm_quotes, "market-maker quotes")->type_name("FILE")->take_all();
    import_app->add_option("--changes", import_files.changes, "symbol changes")->type_name("FILE")->take_all();
    import_app->add_option("--symbols", import_files.symbols, "the instruments' table")->type_name("FILE");
    import_app->add_option("--conditions", import_files.conditions, "the trade conditions' table")->type_name("FILE");
    import_app->add_option("-o", import_files.output, "the tape; {date} in it writes one tape a day")
        ->required()
        ->check(kPath)
        ->type_name("TAPE");
    import_app->add_option("--date", import_files.date, "the day of times of day (where no date column gives it), and of an empty import")->type_name("YYYY-MM-DD")->check(kDate);
    import_app->add_option("--date-order", import_files.date_order, "how a date column's dates with the year last read: 03/15/2024 (mdy) or 15/03/2024 (dmy)")->type_name("mdy|dmy")->check(kDateOrder);
    import_app->add_option("--time-zone", import_files.time_zone, "the zone of times without one (default UTC)")
        ->type_name("ZONE")
        ->check(CLI::Validator([](const std::string& zone) { return zone.empty() ? "an IANA name, or UTC" : ""; },
                               ""));
    import_app->add_option("--time-unit", import_files.time_unit, "the unit of numeric times since the epoch, or since midnight (-of-day), or hhmmss: times of day as digits")->type_name("s|ms|us|ns[-of-day]|hhmmss")->check(kTimeUnit);
    import_app->add_option("--price-type", import_files.price_type, "every instrument's price type")
        ->type_name("N")->transform(whole_number(0, 255));
    import_app->add_option("--price-scale", import_files.price_scale,
                           "prices in units of 10^-N (fixed-point integers: 9 for 1e-9 units)")
        ->type_name("N")->transform(whole_number(0, 18));
    import_app->add_option("--listed-exg", import_files.listed_exg, "the listed exchange (default 1)")
        ->type_name("N")->transform(whole_number(0, 65535));
    import_app->add_option("--rename", import_files.renames, "vendor column names to ours")->type_name("VENDOR=OURS,...")->check(kRename);
    import_app->add_option("--constant", import_files.constants, "a column the files lack, one text in every row (repeatable)")
        ->type_name("COLUMN=TEXT")->check(kConstant)->allow_extra_args(false);
    import_app->add_flag("--ignore-extra-columns", import_files.ignore_extra_columns, "skip unknown columns");
    import_app->add_flag("--no-header", import_files.no_header, "CSV files without a header line: columns 1, 2, ... for --rename");
    import_app->add_flag("--sort", import_files.sort, "sort input that is not in time order");
    import_app->add_flag("--allow-empty", import_files.allow_empty, "write an empty tape for no rows");
    import_app->add_flag("--fractional-sizes", import_files.fractional_sizes, "keep sizes below one share");
    import_app->add_flag("--one-sided-quotes", import_files.one_sided_quotes,
                         "an empty bid or ask (its size empty or 0) is none: price and size 0");
    import_app->add_flag("--condition-letters", import_files.condition_letters,
                         "each character of a trade's conditions is one (TAQ's @FTI)");
    import_app->add_option("--temp-dir", import_files.temp_dir, "for the converted rows and sorted runs (default beside the tape)")
        ->type_name("DIR");
    import_app->add_option("--delimiter", import_files.delimiter, "the CSV field delimiter")->type_name("C")->check(kDelimiter);
    add_quiet(*import_app, import_files.quiet);
    import_app->add_flag("--no-compress", import_files.no_compress, "write plain tapes (format version 1)");
}

void add_inspection(CLI::App& app, Commands& c) {
    c.info_app = app.add_subcommand("info", "Show a tape's date, time zone, symbols, events and their span, from its heads.");
    c.info_app->add_option("tapes", c.info.tapes, "the tapes")->required()->type_name("TAPE");

    c.check_app = app.add_subcommand("check", "Check every section, CRC and index of a tape, and say what is wrong and where.");
    c.check_app->add_option("tapes", c.check.tapes, "the tapes")->required()->type_name("TAPE");

    c.compress_app = app.add_subcommand("compress", "Copy a tape into a packed (zstd-compressed) one.");
    c.decompress_app = app.add_subcommand("decompress", "Copy a tape into a plain one.");
    for (CLI::App* convert_app : {c.compress_app, c.decompress_app}) {
        convert_app->add_option("tape", c.convert.input, "the tape to copy")->required()->type_name("TAPE");
        convert_app->add_option("-o", c.convert.output, "the tape to write")->required()->type_name("TAPE")->check(kPath);
        add_quiet(*convert_app, c.convert.quiet);
    }
}

// Reads the command line: -1 to go on, or the exit status (help, version,
// a usage error).
int parse_command_line(CLI::App& app, int argc, char** argv) {
    if (argc >= 2 && argv[1][0] != '-' && app.get_subcommand_no_throw(argv[1]) == nullptr)
        return usage_error(app, std::string("unknown command '") + argv[1] +
                                    "' (commands: compile, dump, synth, import, info, check, compress, decompress)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {  // --help, --version
            app.exit(e);
            try {
                flush_standard_output();
            } catch (const InputError& failed) {
                std::fprintf(stderr, "tarvik-tape: %s\n", failed.what());
                return 1;
            }
            return 0;
        }
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && app.get_subcommands().empty()) {
            std::fprintf(stderr, "tarvik-tape: a command is required\n%s", app.help().c_str());
            return 2;
        }
        // CLI11 checks the required arguments before it names what it could
        // not place: an unknown option ("-day.tape") would be told as a
        // missing argument.
        // A word of one dash where the command takes paths may be a path
        // meant; anything else is told with what is missing besides.
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr)
            for (const CLI::App* command : app.get_subcommands())
                for (const std::string& left : command->remaining()) {
                    if (left.size() < 2 || left[0] != '-') continue;
                    const bool takes_paths =
                        !command->get_options([](const CLI::Option* o) { return o->get_positional(); }).empty();
                    if (left[1] != '-' && takes_paths)
                        return usage_error(app, "unknown option '" + left + "' (a path that starts with '-' goes "
                                                "after '--': tarvik-tape " + command->get_name() + " -- " + left + ")");
                    return usage_error(app, "unknown option '" + left + "'; and " + e.what());
                }
        return usage_error(app, e.what());
    }
    return -1;
}

int run_command(Commands& c) {
    if (c.compile_app->parsed()) c.compile.run();
    else if (c.dump_app->parsed()) return c.dump.run();
    else if (c.synth_app->parsed()) c.synth.run();
    else if (c.import_app->parsed()) c.import_files.run();
    else if (c.info_app->parsed()) return c.info.run();
    else if (c.check_app->parsed()) return c.check.run();
    else if (c.compress_app->parsed()) c.convert.run(engine::TapeEncoding::Packed, "compress: reading");
    else if (c.decompress_app->parsed()) c.convert.run(engine::TapeEncoding::Plain, "decompress: reading");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A file size limit (ulimit -f) would end the process at the write that
    // passes it; ignored, the write fails (EFBIG) and is told as any other.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app("Compile, dump, synthesise, import, look at and check Tarvik tapes (docs/tape-tool.md).",
                 "tarvik-tape");
    app.set_version_flag("--version", version_text());
    app.require_subcommand(1);
    app.footer("Run 'tarvik-tape COMMAND --help' for a command's options. Errors exit 1; a bad command line exits 2.");
    Commands commands;
    add_compile_and_dump(app, commands);
    add_synth(app, commands);
    add_import(app, commands);
    add_inspection(app, commands);
    if (const int status = parse_command_line(app, argc, argv); status >= 0) return status;
    try {
        return run_command(commands);
    } catch (const UsageError& e) {
        return usage_error(app, e.what());
    } catch (const import::ImportUsageError& e) {
        return usage_error(app, e.what());
    } catch (const import::ImportStopped& e) {
        std::fprintf(stderr, "tarvik-tape: %s\n", e.what());
        return 130;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-tape: %s\n", failure_text(e).c_str());
        return 1;
    }
}
