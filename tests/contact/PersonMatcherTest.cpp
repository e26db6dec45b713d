#include <gtest/gtest.h>

#include <utility>

#include "contact/IBackupContact.h"
#include "../../lib/contact/PersonMatcher_p.h"

TEST(PersonMatcher, NationalAndInternationalFormsMeetAndTheLowestRowidWins)
{
    // Ann (ROWID 5) is listed after Bob (ROWID 9) but has the lower ROWID.
    ContactMultiValue annPhone{3, 0, "", "415-555-0100", nullptr, nullptr};
    ContactMultiValue annMail{4, 1, "", "Ann@Example.com", nullptr, &annPhone};
    ContactMultiValue bobPhone{3, 0, "", "+1 (415) 555-0100", nullptr, nullptr};
    ContactMultiValue bobShort{3, 1, "", "0199", nullptr, &bobPhone};
    addressbookdb ann{5, 0, nullptr, {}, &annMail, nullptr, 0, 0, 0}, bob{9, 0, &ann, {}, &bobShort, nullptr, 0, 0, 0};
    const ContactRecordList people{2, &bob};
    const contactdb::PersonMatcher matcher(&people);
    const std::pair<const char*, const addressbookdb*> lookups[] = {
        {"0014155550100", &ann}, {"5550100", &ann}, {"0100", nullptr}, {"550100", nullptr}, {"4155550101", nullptr},
        {"aNN@example.COM", &ann}, {"ann@example.co", nullptr}, {"+0199", &bob}, {"10199", nullptr}, {"no digits", nullptr}};
    for (const auto& l : lookups)
        EXPECT_EQ(matcher.find(l.first), l.second) << l.first;
    EXPECT_EQ(contactdb::PersonMatcher(nullptr).find("5550100"), nullptr);
}
