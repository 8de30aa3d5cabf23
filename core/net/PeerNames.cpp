#include "core/net/Peer.h"

#include "core/wire/Utf8.h"

#include <algorithm>

#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace hh {

bool isUsableName(std::string_view name) {
    return !name.empty() && name.size() <= maximumNameBytes && isValidUtf8(name) &&
           name.find_first_not_of(' ') != std::string_view::npos && name.find_first_of("\r\n") == std::string_view::npos;
}

std::string canonicalName(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(name);
    const auto normalized = nfc->normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), int32_t(name.size()))), status);
    if (U_FAILURE(status)) return std::string(name);
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

bool isServiceOfSender(std::string_view serviceName, std::string_view senderName) {
    if (serviceName == senderName) return true;
    // Avahi settles a clash by appending " #N" to the instance name.
    if (serviceName.size() < senderName.size() + 3 || !serviceName.starts_with(senderName)) return false;
    const auto suffix = serviceName.substr(senderName.size());
    if (!suffix.starts_with(" #")) return false;
    const auto digits = suffix.substr(2);
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct NameOrder::Collator {
    std::unique_ptr<icu::Collator> collator;
};

NameOrder::NameOrder() : collator_(std::make_unique<Collator>()) {
    UErrorCode status = U_ZERO_ERROR;
    // The user's language, but not the POSIX locale's code point order.
    auto locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX" || std::string_view(locale.getLanguage()).empty())
        locale = icu::Locale::getRoot();
    collator_->collator.reset(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status)) {
        collator_->collator.reset();
        return;
    }
    // Runs of digits compare as numbers.
    collator_->collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
}

NameOrder::~NameOrder() = default;

bool NameOrder::operator()(std::string_view a, std::string_view b) const {
    if (collator_->collator) {
        UErrorCode status = U_ZERO_ERROR;
        const auto order = collator_->collator->compareUTF8(icu::StringPiece(a.data(), int32_t(a.size())),
                                                            icu::StringPiece(b.data(), int32_t(b.size())), status);
        if (U_SUCCESS(status) && order != UCOL_EQUAL) return order == UCOL_LESS;
    }
    return a < b;  // equal to the collator: still one order
}

} // namespace hh
