#pragma once
// The model behind the progress bar: total parts, parts complete and the percentage
// that the bar shows. Positions are 64-bit so that files of 2 GiB and more still
// run the bar from 0 to 100.

#include <cstdint>
#include <functional>

namespace Velmora {

class TProgressBarModel {
public:
    std::int64_t TotalParts() const { return FTotalParts; }
    std::int64_t PartsComplete() const { return FPartsComplete; }
    int Percent() const { return FPercent; }

    // A new total resets parts complete and the percentage; the same total changes nothing.
    void SetTotalParts(std::int64_t total);
    // Cut to [0, total]; the percentage follows unless the total is 0.
    void SetPartsComplete(std::int64_t parts);
    // Fills the bar to the given percentage whatever parts complete holds.
    void SetPercent(int percent);

    // Called after every change of the percentage, so the view repaints at once.
    std::function<void()> OnPercentChange;

    // parts / total * 100, rounded to the nearest integer, ties to even.
    static int PercentOf(std::int64_t parts, std::int64_t total);

private:
    void UpdatePercent(int percent);

    std::int64_t FTotalParts = 0;
    std::int64_t FPartsComplete = 0;
    int FPercent = 0;
};

}  // namespace Velmora
