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

int32_t Run::spin_symbols(uint16_t listed_exg, int32_t flags, int32_t spin_id, TarvikMessageCallback callback,
                          int32_t user_data) {
    if (callback == nullptr || (flags != TqSPIN_NON_OPTIONS && flags != TqSPIN_OPTIONS))
        return TqAPIERR_BAD_PARAMETERS;
    const bool options = flags == TqSPIN_OPTIONS;
    const bool all = listed_exg == TqSPIN_ALL_EXGS;

    // The members in order, with their series number for options.
    struct Member {
        uint32_t symbol;
        uint32_t series;
    };
    std::vector<Member> members;
    std::vector<uint32_t> series_sizes;
    std::unordered_map<const TqStringRecord*, uint32_t> series_of;
    bool exchange_seen = all;
    for (uint32_t i = 0; i < symbols_.size(); ++i) {
        const SymbolSlot& slot = symbols_[i];
        if (!all && slot.listed_exg != listed_exg) continue;
        exchange_seen = true;
        if (slot.skipped || (slot.option != nullptr) != options) continue;
        uint32_t series = 0;
        if (options) {
            auto [it, added] = series_of.try_emplace(slot.record, static_cast<uint32_t>(series_sizes.size()));
            if (added) series_sizes.push_back(0);
            series = it->second;
            ++series_sizes[series];
        }
        members.push_back({i, series});
    }
    if (!exchange_seen) return TqAPIERR_NOLISTED_EXG;
    if (members.empty()) return TqAPIERR_NOSYMBOLS_FOR_LSTEXG;
    if (options) {
        std::stable_sort(members.begin(), members.end(),
                         [](const Member& a, const Member& b) { return a.series < b.series; });
    }

    // Records of the spin's own: the message being delivered stays as it is.
    TarvikSystemRecord system = system_;
    system.UserData = user_data;
    system.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    system.Status = TARVIKSTATUS_SYMBOLSPIN;
    system.StatusData = 0;
    system.StatusDisplay = "Symbol spin";
    TarvikMessageRecord message{};
    TarvikHeaderRecord& h = message.coreHeader;
    h.tqSessionDate = system_.tqDate;
    h.tqExgTimestamp = last_time_;
    message.MessageType = TqMSG_SYMBOLSPIN;

    const auto limit = static_cast<uint32_t>(options ? series_sizes.size() : members.size());
    uint32_t iteration = 0;
    uint32_t sub_iteration = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const SymbolSlot& slot = symbols_[members[k].symbol];
        if (options) {
            if (k == 0 || members[k].series != members[k - 1].series) {
                ++iteration;
                sub_iteration = 0;
            }
            ++sub_iteration;
        } else {
            ++iteration;
        }
        h.ptqStringSymbol = slot.record;
        h.ptqOptionHdr = slot.option;
        h.ListedExg = slot.listed_exg;
        h.ReportingExg = 0;
        h.SessionID = slot.session;
        h.alignment = 0;
        h.PermissionID = 0;
        TarvikSymbolSpinBody& body = message.coreData.SymbolSpin;
        body.SpinID = static_cast<uint32_t>(spin_id);
        body.IterLimit = limit;
        body.IterCount = iteration;
        body.SubIterLimit = options ? series_sizes[members[k].series] : 0;
        body.SubIterCount = options ? sub_iteration : 0;
        message.ptarvik3Ext = nullptr;
        if (callback(&system, &message) == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
    }
    return TqAPIERR_NO_ERROR;
}

}  // namespace tarvik::engine
