// sTarvikSpinSymbols: one TqMSG_SYMBOLSPIN message per symbol of the run,
// plain symbols or option contracts, of one listed exchange or of all,
// with the symbol's header as the replay shows it. Option contracts come
// series by series (the contracts of one root symbol on one listed
// exchange), each series in directory order.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "engine/engine_constants.h"
#include "engine/run.h"

namespace tarvik::engine {

namespace {

// The members of a spin in order, with their series for options.
struct SpinMember {
    uint32_t symbol;
    uint32_t series;
};

struct SpinMembers {
    std::vector<SpinMember> members;
    std::vector<uint32_t> series_sizes;  // options only
    bool exchange_seen = false;
};

SpinMembers spin_members(const SymbolDirectory& directory, uint16_t listed_exg, bool options) {
    const bool all = listed_exg == TqSPIN_ALL_EXGS;
    SpinMembers spin;
    spin.exchange_seen = all;
    std::unordered_map<const TqStringRecord*, uint32_t> series_of;
    for (uint32_t i = 0; i < directory.size(); ++i) {
        const SymbolSlot& slot = directory[i];
        if (!all && slot.listed_exg != listed_exg) continue;
        spin.exchange_seen = true;
        if (slot.skipped || (slot.option != nullptr) != options) continue;
        uint32_t series = 0;
        if (options) {
            auto [it, added] = series_of.try_emplace(slot.record, static_cast<uint32_t>(spin.series_sizes.size()));
            if (added) spin.series_sizes.push_back(0);
            series = it->second;
            ++spin.series_sizes[series];
        }
        spin.members.push_back({i, series});
    }
    if (options) {
        std::stable_sort(spin.members.begin(), spin.members.end(),
                         [](const SpinMember& a, const SpinMember& b) { return a.series < b.series; });
    }
    return spin;
}

void set_spin_header(TarvikHeaderRecord& h, const SymbolSlot& slot) {
    h.ptqStringSymbol = slot.record;
    h.ptqOptionHdr = slot.option;
    h.ListedExg = slot.listed_exg;
    h.ReportingExg = 0;
    h.SessionID = slot.session;
    h.alignment = 0;
    h.PermissionID = 0;
}

}  // namespace

int32_t Run::spin_symbols(uint16_t listed_exg, int32_t flags, int32_t spin_id, TarvikMessageCallback callback,
                          int32_t user_data) {
    if (callback == nullptr || (flags != TqSPIN_NON_OPTIONS && flags != TqSPIN_OPTIONS))
        return TqAPIERR_BAD_PARAMETERS;
    const bool options = flags == TqSPIN_OPTIONS;
    const SpinMembers spin = spin_members(directory_, listed_exg, options);
    if (!spin.exchange_seen) return TqAPIERR_NOLISTED_EXG;
    if (spin.members.empty()) return TqAPIERR_NOSYMBOLS_FOR_LSTEXG;

    // Records of the spin's own: the message being delivered stays as it is.
    TarvikSystemRecord system = system_;
    system.UserData = user_data;
    system.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    system.Status = TARVIKSTATUS_SYMBOLSPIN;
    system.StatusData = 0;
    system.StatusDisplay = "Symbol spin";
    TarvikMessageRecord message{};
    message.coreHeader.tqSessionDate = system_.tqDate;
    message.coreHeader.tqExgTimestamp = last_time_;
    message.MessageType = TqMSG_SYMBOLSPIN;

    const std::vector<SpinMember>& members = spin.members;
    const auto limit = static_cast<uint32_t>(options ? spin.series_sizes.size() : members.size());
    uint32_t iteration = 0;
    uint32_t sub_iteration = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (!options || k == 0 || members[k].series != members[k - 1].series) {
            ++iteration;
            sub_iteration = 0;
        }
        ++sub_iteration;
        set_spin_header(message.coreHeader, directory_[members[k].symbol]);
        TarvikSymbolSpinBody& body = message.coreData.SymbolSpin;
        body.SpinID = static_cast<uint32_t>(spin_id);
        body.IterLimit = limit;
        body.IterCount = iteration;
        body.SubIterLimit = options ? spin.series_sizes[members[k].series] : 0;
        body.SubIterCount = options ? sub_iteration : 0;
        message.ptarvik3Ext = nullptr;
        if (callback(&system, &message) == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
    }
    return TqAPIERR_NO_ERROR;
}

}  // namespace tarvik::engine
