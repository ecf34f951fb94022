#include "preprocess/ProgressBar.h"

#include <algorithm>
#include <limits>

namespace Velmora {

void TProgressBarModel::SetTotalParts(std::int64_t total)
{
    if (total < 0) total = 0;
    if (total == FTotalParts) return;
    FTotalParts = total;
    FPartsComplete = 0;
    UpdatePercent(0);
}

void TProgressBarModel::SetPartsComplete(std::int64_t parts)
{
    FPartsComplete = std::clamp<std::int64_t>(parts, 0, FTotalParts);
    if (FTotalParts == 0) return;
    UpdatePercent(PercentOf(FPartsComplete, FTotalParts));
}

void TProgressBarModel::SetPercent(int percent)
{
    UpdatePercent(std::clamp(percent, 0, 100));
}

int TProgressBarModel::PercentOf(std::int64_t parts, std::int64_t total)
{
    if (total <= 0) return 0;
    parts = std::clamp<std::int64_t>(parts, 0, total);
    // Exact integer arithmetic needs 200 * total to fit; beyond some 46 PB both
    // sides are scaled down together, which cannot move a percentage that matters.
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 200;
    while (total > limit) {
        total >>= 1;
        parts >>= 1;
    }
    const std::int64_t scaled = parts * 100;
    std::int64_t quotient = scaled / total;
    const std::int64_t twiceRemainder = (scaled % total) * 2;
    if (twiceRemainder > total || (twiceRemainder == total && quotient % 2 != 0)) {
        ++quotient;
    }
    return static_cast<int>(quotient);
}

void TProgressBarModel::UpdatePercent(int percent)
{
    if (percent == FPercent) return;
    FPercent = percent;
    if (OnPercentChange) OnPercentChange();
}

}  // namespace Velmora
