// The import for Python (tarvik_engine.write_tape), called through ctypes:
// options as JSON, the inputs that are not files as Arrow C streams.
//
//   char* tarvik_import(const char* options_json, ArrowArrayStream** first,
//                       ArrowArrayStream** second, size_t streams, int* status,
//                       int (*progress)(int stage, uint64_t done, uint64_t total))
//
// The streams go, in order, to the inputs of the options that name no
// path. `second` is not read (the import reads each stream once; callers
// that still give a second copy keep and release it) and may be null. A
// stream the import reads is released by it; one it never
// reaches (a bad option, an earlier input's error) keeps its release
// callback, for its owner (the Python capsule) to release. Answers a text
// the caller frees with tarvik_import_free: on success (status 0) a JSON
// object {"tapes": [...], "events": N, "instruments": N}; on failure the
// message, with status 1 for bad input, 2 for a bad request, 3 when
// `progress` stopped it, 4 when memory could not be had and 5 when a
// thread could not be started. `progress` (may be null) is told how far the
// import is, on the calling thread: stage 0, the rows read so far (total
// 0); stage 1, the events written of `total`; stage 2, with "sort", the
// rows sorted of `total`, before anything is written. A nonzero answer stops the
// import: nothing is written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "tarvik/c_text.h"
#include "import_error.h"
#include "importer.h"

struct ArrowArrayStream;

using tarvik::c_text_copy;

extern "C" __attribute__((visibility("default"))) char* tarvik_import(const char* options_json,
                                                                     ArrowArrayStream** first,
                                                                     ArrowArrayStream** /*second*/, size_t streams,
                                                                     int* status,
                                                                     int (*progress)(int, uint64_t, uint64_t)) {
    using namespace tarvik::import;
    *status = 2;
    try {
        ImportOptions options = options_from_json(options_json);
        if (progress != nullptr)
            options.progress = [progress](ImportStage stage, uint64_t done, uint64_t total) {
                const int number = stage == ImportStage::Reading ? 0 : stage == ImportStage::Writing ? 1 : 2;
                if (progress(number, done, total) != 0)
                    throw ImportStopped("the import was stopped");
            };
        size_t next = 0;
        for (ImportInput& input : options.inputs) {
            if (!input.path.empty()) continue;
            if (next >= streams) throw ImportUsageError(input.name + ": no data given");
            input.first = first[next];
            first[next] = nullptr;
            ++next;
        }
        const ImportResult result = run_import(std::move(options));
        nlohmann::json out;
        out["tapes"] = result.tapes;
        out["events"] = result.events;
        out["instruments"] = result.instruments;
        *status = 0;
        return c_text_copy(out.dump());
    } catch (const ImportStopped& e) {
        *status = 3;
        return c_text_copy(e.what());
    } catch (const ImportError& e) {
        *status = 1;
        return c_text_copy(e.what());
    } catch (const ImportUsageError& e) {
        *status = 2;
        return c_text_copy(e.what());
    } catch (const std::exception& e) {
        const tarvik::ResourceFailure failure = tarvik::resource_failure(e);
        *status = failure == tarvik::ResourceFailure::Memory   ? 4
                  : failure == tarvik::ResourceFailure::Thread ? 5
                                                               : 1;
        return c_text_copy(tarvik::failure_text(e));
    }
}

extern "C" __attribute__((visibility("default"))) void tarvik_import_free(char* text) { std::free(text); }
