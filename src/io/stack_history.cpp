#include "io/stack_history.h"

#include <algorithm>

namespace quen_merge {

namespace {

constexpr size_t kKeyLength = 8;  // a FITS card's keyword field

bool IsDate(const std::string& card) { return card.compare(0, kKeyLength, "DATE-OBS") == 0; }

}  // namespace

void StackHistory::Add(const FrameFacts& facts) {
    if (frames == 0) {
        mono = facts.mono;
        total_exposure = single_exposure = facts.exposure;
        for (const std::string& card : facts.cards) {
            if (IsDate(card))
                date_obs = card;
            else
                cards.push_back(card);
        }
    } else {
        mono = mono && facts.mono;
        total_exposure = total_exposure > 0 && facts.exposure > 0 ? total_exposure + facts.exposure : 0;
        if (facts.exposure != single_exposure) single_exposure = 0;
        // A card stays only while every frame has it, word for word.
        cards.erase(std::remove_if(cards.begin(), cards.end(),
                                   [&](const std::string& card) {
                                       return std::find(facts.cards.begin(), facts.cards.end(), card) ==
                                              facts.cards.end();
                                   }),
                    cards.end());
    }
    ++frames;
}

}  // namespace quen_merge
