#include "engine/exclusions.h"

#include "tarvik/constants.h"

namespace tarvik::engine {

Exclusions::Exclusions(int32_t control_flags) : excluded_permissions_(65536, 0) {
    skip_kind_[TqMSG_EXGQUOTE] = (control_flags & TqCF_EXCLUDE_QUOTES) != 0;
    skip_kind_[TqMSG_MMQUOTE] = (control_flags & TqCF_EXCLUDE_QUOTES2) != 0;
    filtering_ = (control_flags & (TqCF_EXCLUDE_QUOTES | TqCF_EXCLUDE_QUOTES2 | TqCF_EXCLUDE_OPRA)) != 0;
}

int32_t Exclusions::check_key(int32_t key) {
    if (key & TqPERMID_REMOVE) return (key & ~(TqPERMID_REMOVE | 0xFFFF)) == 0 ? 0 : TqAPIERR_BAD_PARAMETERS;
    return key >= 0 && key <= 0xFFFF ? 0 : TqAPIERR_BAD_PARAMETERS;
}

int32_t Exclusions::exclude(int32_t key) {
    if (int32_t result = check_key(key)) return result;
    filtering_ = true;
    if (key & TqPERMID_REMOVE) {
        excluded_permissions_[key & 0xFFFF] = 1;
    } else {
        if (excluded_option_exgs_.empty()) excluded_option_exgs_.assign(65536, 0);
        excluded_option_exgs_[key] = 1;
    }
    return 0;
}

}  // namespace tarvik::engine
