#include "io/stack_history.h"

#include <algorithm>
#include <iterator>

namespace quen_merge {

namespace {

constexpr size_t kKeyLength = 8;  // a FITS card's keyword field

// What every stacked frame must say alike to be said of the stack.
const char* const kAlikeKeys[] = {"OBJECT", "INSTRUME", "TELESCOP", "OBSERVER", "FILTER",
                                  "XBINNING", "YBINNING", "CCD-TEMP", "GAIN"};
// What the first stacked frame says of when and where it looked, and the
// world coordinates of its grid.
const char* const kFirstFrameKeys[] = {
    "DATE-OBS", "TIME-OBS", "UT",     "OBJCTRA", "OBJCTDEC", "RA",      "DEC",     "EQUINOX", "RADESYS",
    "WCSAXES",  "CTYPE1",   "CTYPE2", "CUNIT1",  "CUNIT2",   "CRVAL1",  "CRVAL2",  "CRPIX1",  "CRPIX2",
    "CDELT1",   "CDELT2",   "CROTA2", "CD1_1",   "CD1_2",    "CD2_1",   "CD2_2",   "PC1_1",   "PC1_2",
    "PC2_1",    "PC2_2",    "LONPOLE", "LATPOLE"};

std::string KeyOf(const std::string& card) {
    const std::string field = card.substr(0, std::min(kKeyLength, card.size()));
    return field.substr(0, field.find_last_not_of(' ') + 1);
}

bool FromFirstFrame(const std::string& card) {
    const std::string key = KeyOf(card);
    return std::any_of(std::begin(kFirstFrameKeys), std::end(kFirstFrameKeys),
                       [&](const char* k) { return key == k; });
}

// The quoted value of a string card; empty when it has none.
std::string QuotedValue(const std::string& card) {
    const size_t open = card.find('\'', kKeyLength);
    const size_t close = open == std::string::npos ? open : card.find('\'', open + 1);
    if (close == std::string::npos) return "";
    std::string value = card.substr(open + 1, close - open - 1);
    return value.substr(0, value.find_last_not_of(' ') + 1);
}

// DATE-OBS with only a date joined to the time of day the file gave apart,
// which then goes: readers look for the start of the exposure in DATE-OBS.
// The key of the card that gives the time of day apart from a DATE-OBS
// that holds the date alone; null when there is none, or no need.
const char* SeparateTimeKey(const std::vector<std::string>& cards) {
    const std::string date = CardValue(cards, "DATE-OBS");
    if (date.empty() || date.find('T') != std::string::npos) return nullptr;
    for (const char* key : {"TIME-OBS", "UT"})
        if (!CardValue(cards, key).empty()) return key;
    return nullptr;
}

void JoinDateAndTime(std::vector<std::string>& cards) {
    const char* time_key = SeparateTimeKey(cards);
    if (!time_key) return;
    const std::string start = ObservationStart(cards);
    for (std::string& card : cards)
        if (KeyOf(card) == "DATE-OBS") card = "DATE-OBS= '" + start + "' / start of the first frame, UT";
    cards.erase(std::find_if(cards.begin(), cards.end(), [&](const std::string& c) { return KeyOf(c) == time_key; }));
}

}  // namespace

void StackHistory::Add(const FrameFacts& facts) {
    if (frames == 0) {
        mono = facts.mono;
        total_exposure = single_exposure = facts.exposure;
        for (const std::string& card : facts.cards) (FromFirstFrame(card) ? first_frame_cards : cards).push_back(card);
        JoinDateAndTime(first_frame_cards);
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

std::string ObservationStart(const std::vector<std::string>& cards) {
    const char* time_key = SeparateTimeKey(cards);
    const std::string date = CardValue(cards, "DATE-OBS");
    return time_key ? date + "T" + CardValue(cards, time_key) : date;
}

std::string CardValue(const std::vector<std::string>& cards, const std::string& key) {
    for (const std::string& card : cards)
        if (KeyOf(card) == key) return QuotedValue(card);
    return "";
}

const std::vector<std::string>& CarriedKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> all(std::begin(kAlikeKeys), std::end(kAlikeKeys));
        all.insert(all.end(), std::begin(kFirstFrameKeys), std::end(kFirstFrameKeys));
        return all;
    }();
    return keys;
}

}  // namespace quen_merge
