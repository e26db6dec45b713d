#include "PhoneNumberMatching.h"

// Calling code -> country, 261 pairs, ascending by calling code.
static const CallingCode kCallingCodes[] = {
    {"+1", "ca"}, {"+1", "us"}, {"+1", "ag"}, {"+1", "ai"}, {"+1", "as"}, {"+1", "bb"}, {"+1", "bm"},
    {"+1", "bs"}, {"+1", "dm"}, {"+1", "do"}, {"+1", "gd"}, {"+1", "gu"}, {"+1", "jm"}, {"+1", "kn"},
    {"+1", "ky"}, {"+1", "lc"}, {"+1", "mp"}, {"+1", "ms"}, {"+1", "pr"}, {"+1", "sx"}, {"+1", "tc"},
    {"+1", "tt"}, {"+1", "vc"}, {"+1", "vg"}, {"+1", "vi"},
    {"+20", "eg"},
    {"+211", "ss"},
    {"+212", "ma"}, {"+212", "eh"},
    {"+213", "dz"},
    {"+216", "tn"},
    {"+218", "ly"},
    {"+220", "gm"},
    {"+221", "sn"},
    {"+222", "mr"},
    {"+223", "ml"},
    {"+224", "gn"},
    {"+225", "ci"},
    {"+226", "bf"},
    {"+227", "ne"},
    {"+228", "tg"},
    {"+229", "bj"},
    {"+230", "mu"},
    {"+231", "lr"},
    {"+232", "sl"},
    {"+233", "gh"},
    {"+234", "ng"},
    {"+235", "td"},
    {"+236", "cf"},
    {"+237", "cm"},
    {"+238", "cv"},
    {"+239", "st"},
    {"+240", "gq"},
    {"+241", "ga"},
    {"+242", "cg"},
    {"+243", "cd"},
    {"+244", "ao"},
    {"+245", "gw"},
    {"+246", "io"},
    {"+247", "ac"},
    {"+248", "sc"},
    {"+249", "sd"},
    {"+250", "rw"},
    {"+251", "et"},
    {"+252", "so"}, {"+252", "qs"},
    {"+253", "dj"},
    {"+254", "ke"},
    {"+255", "tz"},
    {"+256", "ug"},
    {"+257", "bi"},
    {"+258", "mz"},
    {"+260", "zm"},
    {"+261", "mg"},
    {"+262", "re"}, {"+262", "yt"},
    {"+263", "zw"},
    {"+264", "na"},
    {"+265", "mw"},
    {"+266", "ls"},
    {"+267", "bw"},
    {"+268", "sz"},
    {"+269", "km"},
    {"+27", "za"},
    {"+290", "sh"}, {"+290", "ta"},
    {"+291", "er"},
    {"+297", "aw"},
    {"+298", "fo"},
    {"+299", "gl"},
    {"+30", "gr"},
    {"+31", "nl"},
    {"+32", "be"},
    {"+33", "fr"},
    {"+34", "es"},
    {"+350", "gi"},
    {"+351", "pt"},
    {"+352", "lu"},
    {"+353", "ie"},
    {"+354", "is"},
    {"+355", "al"},
    {"+356", "mt"},
    {"+357", "cy"},
    {"+358", "ax"}, {"+358", "fi"},
    {"+359", "bg"},
    {"+36", "hu"},
    {"+370", "lt"},
    {"+371", "lv"},
    {"+372", "ee"},
    {"+373", "md"},
    {"+374", "am"}, {"+374", "qn"},
    {"+375", "by"},
    {"+376", "ad"},
    {"+377", "mc"},
    {"+378", "sm"},
    {"+379", "va"},
    {"+380", "ua"},
    {"+381", "rs"},
    {"+382", "me"},
    {"+385", "hr"},
    {"+386", "si"},
    {"+387", "ba"},
    {"+388", "eu"},
    {"+389", "mk"},
    {"+39", "it"}, {"+39", "va"},
    {"+40", "ro"},
    {"+41", "ch"},
    {"+420", "cz"},
    {"+421", "sk"},
    {"+423", "li"},
    {"+43", "at"},
    {"+44", "gb"}, {"+44", "uk"}, {"+44", "gg"}, {"+44", "im"}, {"+44", "je"},
    {"+45", "dk"},
    {"+46", "se"},
    {"+47", "no"}, {"+47", "sj"},
    {"+48", "pl"},
    {"+49", "de"},
    {"+500", "fk"},
    {"+501", "bz"},
    {"+502", "gt"},
    {"+503", "sv"},
    {"+504", "hn"},
    {"+505", "ni"},
    {"+506", "cr"},
    {"+507", "pa"},
    {"+508", "pm"},
    {"+509", "ht"},
    {"+51", "pe"},
    {"+52", "mx"},
    {"+53", "cu"},
    {"+54", "ar"},
    {"+55", "br"},
    {"+56", "cl"},
    {"+57", "co"},
    {"+58", "ve"},
    {"+590", "gp"}, {"+590", "bl"}, {"+590", "mf"},
    {"+591", "bo"},
    {"+592", "gy"},
    {"+593", "ec"},
    {"+594", "gf"},
    {"+595", "py"},
    {"+596", "mq"},
    {"+597", "sr"},
    {"+598", "uy"},
    {"+599", "bq"}, {"+599", "cw"},
    {"+60", "my"},
    {"+61", "au"}, {"+61", "cx"}, {"+61", "cc"},
    {"+62", "id"},
    {"+63", "ph"},
    {"+64", "nz"},
    {"+65", "sg"},
    {"+66", "th"},
    {"+670", "tl"},
    {"+672", "nf"}, {"+672", "aq"},
    {"+673", "bn"},
    {"+674", "nr"},
    {"+675", "pg"},
    {"+676", "to"},
    {"+677", "sb"},
    {"+678", "vu"},
    {"+679", "fj"},
    {"+680", "pw"},
    {"+681", "wf"},
    {"+682", "ck"},
    {"+683", "nu"},
    {"+685", "ws"},
    {"+686", "ki"},
    {"+687", "nc"},
    {"+688", "tv"},
    {"+689", "pf"},
    {"+690", "tk"},
    {"+691", "fm"},
    {"+692", "mh"},
    {"+7", "ru"}, {"+7", "kz"},
    {"+800", "xt"},
    {"+808", "xs"},
    {"+81", "jp"},
    {"+82", "kr"},
    {"+84", "vn"},
    {"+850", "kp"},
    {"+852", "hk"},
    {"+853", "mo"},
    {"+855", "kh"},
    {"+856", "la"},
    {"+86", "cn"},
    {"+870", "xn"},
    {"+878", "xp"},
    {"+880", "bd"},
    {"+881", "xg"},
    {"+882", "xv"},
    {"+883", "xv"},
    {"+886", "tw"},
    {"+888", "xd"},
    {"+90", "tr"}, {"+90", "qy"},
    {"+91", "in"},
    {"+92", "pk"},
    {"+93", "af"},
    {"+94", "lk"},
    {"+95", "mm"},
    {"+960", "mv"},
    {"+961", "lb"},
    {"+962", "jo"},
    {"+963", "sy"},
    {"+964", "iq"},
    {"+965", "kw"},
    {"+966", "sa"},
    {"+967", "ye"},
    {"+968", "om"},
    {"+970", "ps"},
    {"+971", "ae"},
    {"+972", "il"},
    {"+973", "bh"},
    {"+974", "qa"},
    {"+975", "bt"},
    {"+976", "mn"},
    {"+977", "np"},
    {"+979", "xr"},
    {"+98", "ir"},
    {"+991", "xc"},
    {"+992", "tj"},
    {"+993", "tm"},
    {"+994", "az"},
    {"+995", "ge"},
    {"+996", "kg"},
    {"+998", "uz"},
};

static const int kCallingCodeCount = int(sizeof(kCallingCodes) / sizeof(kCallingCodes[0]));

// Filled on first use; every caller runs on the extraction thread.
static QMap<QString, const char*> g_countryMap;

static const QMap<QString, const char*>& countryMap()
{
    if (g_countryMap.isEmpty()) {
        for (const CallingCode& c : kCallingCodes) {
            const QString country = QString::fromLatin1(c.country);
            if (!g_countryMap.contains(country))
                g_countryMap.insert(country, c.code);
        }
    }
    return g_countryMap;
}

const CallingCode* callingCodeTable(int* count)
{
    if (count)
        *count = kCallingCodeCount;
    return kCallingCodes;
}

QString stripCallingCode(const QString& number, const QString& country)
{
    if (number.contains(QLatin1Char('@')) || !number.startsWith(QLatin1Char('+')))
        return number;
    const QMap<QString, const char*>& map = countryMap();
    const auto it = map.constFind(country);
    if (it == map.constEnd())
        return number;
    const QString code = QString::fromLatin1(it.value());
    if (!number.startsWith(code))
        return number;
    return number.mid(code.size());
}

QString resolveAddress(const QString& number, const QString& country, const QStringList& names,
                       const QMap<QString, int>& index)
{
    const QString n = stripCallingCode(number, country);
    const auto exact = index.constFind(n);
    if (exact != index.constEnd())
        return names.value(exact.value(), n);
    // Only numbers still in international or trunk form may carry digits a stored key lacks.
    if (n.startsWith(QLatin1Char('+')) || n.startsWith(QLatin1Char('0'))) {
        for (auto it = index.constBegin(); it != index.constEnd(); ++it)
            if (!it.key().isEmpty() && n.endsWith(it.key()))
                return names.value(it.value(), n);
    }
    return n;
}
