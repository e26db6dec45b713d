// Participants' numbers and their contacts: the calling code taken off by the participant's
// country, then an exact key, else a suffix for numbers in international or trunk form.

#include <gtest/gtest.h>

#include "PhoneNumberMatching.h"
#include "TestSupport.h"

TEST(StripCallingCode, FollowsTheCountryOfTheParticipant)
{
    const struct {
        const char* number;
        const char* country;
        const char* expected;
    } cases[] = {
        {"+8613800138000", "cn", "13800138000"},
        {"+8613800138000", "us", "+8613800138000"},  // does not start with +1
        {"+14155550100", "us", "4155550100"},
        {"+14155550100", "ca", "4155550100"},
        {"+14155550100", "pr", "4155550100"},
        {"+390612345678", "va", "+390612345678"},     // va keeps its first code, +379
        {"+379123", "va", "123"},
        {"+39061234", "it", "061234"},
        {"+882123", "xv", "123"},                     // xv keeps +882
        {"+883123", "xv", "+883123"},
        {"+44 20 7946 0100", "gb", " 20 7946 0100"},  // only the code goes
        {"4155550100", "us", "4155550100"},           // no plus sign
        {"+1@example.com", "us", "+1@example.com"},  // e-mail addresses stay
        {"someone@example.com", "us", "someone@example.com"},
        {"+14155550100", "zz", "+14155550100"},       // country not in the map
        {"+14155550100", "", "+14155550100"},
        {"+14155550100", "US", "+14155550100"},       // country codes are lower case
        {"", "us", ""},
        {"+", "us", "+"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stripCallingCode(QString::fromUtf8(c.number), QString::fromUtf8(c.country)),
                  QString::fromUtf8(c.expected))
            << c.number << " / " << c.country;
}

TEST(ResolveAddress, ExactThenSuffixForInternationalOrTrunkForms)
{
    const QStringList names = {QStringLiteral("Exact"), QStringLiteral("Formatted"), QStringLiteral("London"),
                               QStringLiteral("Short"), QStringLiteral("Mail"), QStringLiteral("Trunk")};
    const QMap<QString, int> index{{QStringLiteral("4155550100"), 0}, {QStringLiteral("+14155550100"), 1},
                                   {QStringLiteral("+15550123"), 1},  {QStringLiteral("20794600100"), 2},
                                   {QStringLiteral("00100"), 3},      {QStringLiteral("a@b.c"), 4},
                                   {QString(), 5}, // an empty key never matches by suffix
                                   {QStringLiteral("612345678"), 5}};

    const struct {
        const char* number;
        const char* country;
        const char* expected;
    } cases[] = {
        {"+14155550100", "us", "Exact"},           // stripped, then exact
        {"+14155550100", "cn", "Formatted"},       // not stripped: exact on the full form
        {"+4420794600100", "us", "Short"},         // first matching key in ascending order: "00100"
        {"a@b.c", "", "Mail"},
        {"0612345678", "fr", "Trunk"},             // trunk prefix: suffix match
        {"5550100", "us", "5550100"},              // neither + nor 0: no suffix match
        {"+33612345678", "fr", "Trunk"},           // stripped to 612345678: exact
        {"+15550123", "us", "5550123"},            // a key in the full form does not name the stripped number
        {"+999", "us", "+999"},                    // no key matches: the stripped number
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolveAddress(QString::fromUtf8(c.number), QString::fromUtf8(c.country), names, index),
                  QString::fromUtf8(c.expected))
            << c.number;
}
