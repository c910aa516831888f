// What a run leaves out: message kinds by the control flags, option
// contracts by TqCF_EXCLUDE_OPRA (marked in the directory), permission ids
// and option exchanges by sTarvikExcludeOpraExch's keys.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/symbol_directory.h"
#include "engine/tape_format.h"

namespace tarvik::engine {

class Exclusions {
public:
    explicit Exclusions(int32_t control_flags);

    // Whether anything may be left out: a replay with nothing to leave out
    // asks nothing per message.
    bool filtering() const { return filtering_; }

    // Whether the message is left out.
    bool skipped(const TapeEvent& e, const SymbolDirectory& directory) const {
        if (skip_kind_[e.kind] | excluded_permissions_[e.permission_id]) return true;
        if (e.symbol == kNone) return false;
        const SymbolSlot& slot = directory[e.symbol];
        return slot.skipped ||
               (slot.option != nullptr && !excluded_option_exgs_.empty() && excluded_option_exgs_[e.reporting_exg]);
    }

    // For a client in this process that reads only some of a day (the
    // columnar reads): every message of `kind` is left out, or those of
    // the symbols the directory marks skipped.
    void leave_out_kind(uint8_t kind) {
        skip_kind_[kind] = 1;
        filtering_ = true;
    }
    void leave_out_skipped_symbols() { filtering_ = true; }

    // A key of sTarvikExcludeOpraExch: 0, or TqAPIERR_BAD_PARAMETERS for a
    // key it does not understand (docs/engine.md).
    static int32_t check_key(int32_t key);
    int32_t exclude(int32_t key);

private:
    bool filtering_ = false;
    uint8_t skip_kind_[256] = {};
    std::vector<uint8_t> excluded_permissions_;
    std::vector<uint8_t> excluded_option_exgs_;  // made by the first such key
};

}  // namespace tarvik::engine
