// Tape info for Python (tarvik_engine.tape_info), called through ctypes.
//
//   int  tarvik_tape_info(const char* path, int check, char** json)
//   void tarvik_tape_info_free(char* text)
//
// Answers 0 with the tape's info as a JSON object, or the result code a
// run of the tape would give with the problem as a JSON object (path,
// section, section_name, offset, reason, message). `check` reads every
// byte (tarvik-tape check); without it only the heads are read.
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "tarvik/c_text.h"
#include "engine/dates.h"
#include "tape_info.h"
#include "tarvik/constants.h"

using namespace tarvik::tape_info;

using tarvik::c_text_copy;

namespace {

// An event's time, or null where its block cannot be read.
nlohmann::json event_time(uint64_t micros) {
    return micros == TapeInfo::kUnknownTime ? nlohmann::json(nullptr) : nlohmann::json(micros);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int tarvik_tape_info(const char* path, int check, char** json) {
    try {
        TapeInfo info;
        TapeProblem problem;
        if (!inspect_tape(path, check ? Scope::Everything : Scope::Heads, info, problem)) {
            *json = c_text_copy(nlohmann::json{{"path", problem.path},
                                        {"section", problem.section},
                                        {"section_name", problem.section_name},
                                        {"offset", problem.offset},
                                        {"reason", problem.reason},
                                        {"message", problem.message()}}
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            return problem.code != 0 ? problem.code : tarvik::TqAPIERR_EXCEPTION;
        }
        *json = c_text_copy(nlohmann::json{{"path", info.path},
                                    {"size", info.size},
                                    {"format_version", info.format_version},
                                    {"date", tarvik::engine::ymd_text(info.date_ndays)},
                                    {"time_zone", info.time_zone},
                                    {"display", info.display},
                                    {"symbols", info.symbols},
                                    {"options", info.options},
                                    {"events", info.events},
                                    {"blocks", info.blocks},
                                    {"first_event_us", event_time(info.first_micros)},
                                    {"last_event_us", event_time(info.last_micros)},
                                    {"complete", info.complete}}
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return 0;
    } catch (const std::exception& e) {
        *json = c_text_copy(nlohmann::json{{"path", path}, {"section", 0}, {"section_name", ""}, {"offset", 0},
                                    {"reason", e.what()}, {"message", std::string(path) + ": " + e.what()}}
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return tarvik::TqAPIERR_EXCEPTION;
    }
}

extern "C" __attribute__((visibility("default"))) void tarvik_tape_info_free(char* text) { std::free(text); }
