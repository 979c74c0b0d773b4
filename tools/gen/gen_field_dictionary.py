#!/usr/bin/env python3
"""Writes the shipped field dictionary document (data/fields.xml) from the
field identifier header (include/tavo/rt_fields).

Every constant of the header becomes one Field element with its name, its FID
and a value type chosen by the rules below. A name that no rule types stops the
script, so a constant added to the header is typed on purpose, never by default.

Usage: tools/gen/gen_field_dictionary.py [HEADER [OUTPUT]]
"""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DECL = re.compile(r"^const FieldID ([A-Z][A-Z0-9_]*) = (\d+);$")

# RT_FieldMap::FieldType values.
CHAR, STRING, INTEGER, PRICE, DECIMAL, RESERVED, ENUMERATION, DATE, TIME, INTEGER64 = (
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10)
TYPE_NAMES = {1: "char", 2: "string", 3: "integer", 4: "price", 5: "decimal", 6: "reserved",
              7: "enumeration", 8: "date", 9: "time", 10: "64-bit integer"}

# Company statement figures (balance sheet, income and cash-flow statements,
# per-share figures) are amounts in the statement's units, not market prices.
STATEMENT_SPANS = ((2100, 2149), (2200, 2299), (2300, 2407))


def names(*words):
    return re.compile("^(" + "|".join(words) + ")$")


# Ordered rules; the first that matches a name gives its type. Narrow rules
# stand before broad ones (IMPL_VOL is a volatility, not a volume; TICK_SIZE is
# a price increment, not a count; PRICE_CURRENCY and EXCHANGE are codes, not
# prices or changes).
RULES = [
    (RESERVED, names("RESERVED")),
    # Single-character flags and codes.
    (CHAR, re.compile(r"_INDICATOR$|_FLAG$|^IS_|_TICK_\d+$")),
    (CHAR, names("MSG_TYPE", "RETRANS", "PUT_CALL", "REPORTING_SIDE")),
    # Small closed sets of codes.
    (ENUMERATION, names("SECURITY_TYPE", "SECURITY_SUB_TYPE", "SECURITY_STATUS",
                        "FINANCIAL_STATUS", "MARKET_MECHANISM_TYPE", "INSTRUMENT_CODE_TYPE",
                        "PRICE_NOTATION", "QUANTITY_NOTATION", "MMT_MARKET_MECHANISM",
                        "MMT_TRADING_MODE", "MMT_TRANSACTION_TYPE", "MMT_PUBLICATION_MODE",
                        "TBL_TYPE", "TBL_UPDATE_METHOD", "SERVICE_TYPE", "REQ_TYPE",
                        "FIELD_TYPE", "FIELD_ENCODING", "USER_LOGIN_STATUS", "PRICING_METHOD",
                        "EX_DATE_STATUS", "ANALYTIC_PRICE_RULE", "UNCROSSING_COND",
                        "TICK_GROUP", "COVERAGE_ACTION", "RATING_ACTION", "ESTIMATE_ACTION",
                        "TARGET_PRICE_ACTION")),
    (DATE, re.compile(r"_DATE(_\d+)?$")),
    (TIME, re.compile(r"_TIME(_\d+)?$|^RESUME_\d+$")),
    # Ratios, rates, yields, sensitivities and amounts that are not prices.
    (DECIMAL, re.compile(r"_PCT_CHG$|PERCENT|YIELD|_RATE$|_RATIO$|VOLATILITY|^IMPL_VOL|"
                         r"^RETURN_|EPS$|SPREAD|CAP_GAIN|MARKET_CAP")),
    (DECIMAL, names("DELTA", "GAMMA", "VEGA", "THETA", "RHO", "TURNOVER", "NOTIONAL_AMOUNT",
                    "PRICE_MULTIPLIER", "NOMINAL_VALUE", "DIV_ADJUSTMENT", "COMMISSION")),
    # Cumulative volumes, share counts and microsecond timestamps outgrow 32 bits.
    (INTEGER64, re.compile(r"CUM_VOL$|_CVOL$|_TS$|^TOTAL_(BUY|SELL)_VOL$")),
    (INTEGER64, names("TSTAMP", "SHARES_OUTSTANDING")),
    # Volumes, sizes, counts, positions and numeric ids.
    (INTEGER, re.compile(r"_VOL(_\d+)?$|_VOLUME$|(?<!TICK)_SIZE$|_CNT$|COUNT$|_INDEX_\d+$|"
                         r"SEQUENCE$|_ROWS?$|_DAYS(_TO)?$|IMBALANCE$|_QUANTITY$|_BITMASK$")),
    (INTEGER, names("FEED_ID", "DISP_ID", "LAYOUT", "END_CHUNKED_SNAPSHOT", "TBL_FIRST_ID",
                    "TBL_LAST_ID", "TBL_ID", "CHAIN_TOTAL", "CHAIN_CURRENT", "SERVICE_MAX_REQ",
                    "GMT_OFFSET", "PAGES", "SHARES", "SIZE", "ANALYST_RANK", "FIELD_ID",
                    "OPEN_INTEREST")),
    # Text: symbols, exchanges, codes, names, descriptions, news and login data.
    (STRING, re.compile(r"EXCH|SYMBOL|NAME|_ID$|_CODE|CURRENCY|_COND(_\d+)?$|CONDITION|"
                        r"^TBL_ROW_\d+$|^GEN_VAL_\d+$|^PARAM_\d+$|_SERVICE$|_HOST$|_FN$|"
                        r"_LIST$|IDS$|SECTOR$|CATEGOR|INDUSTR|SUBJECT|_TYPES?$|_TITLE$")),
    (STRING, names("UNCHANGED_FIELDS", "REQ_SYM", "PRODUCT", "VENUE", "EXECUTION_VENUE",
                   "PUBLICATION_VENUE", "PRIMARY_MARKET", "OPT_DELIVERABLES", "ISIN", "CUSIP",
                   "SEDOL", "DESCRIPTION", "MARKET_SEGMENT", "PERIOD",
                   "HALT_INFO", "HOMEPAGE", "HALT_DESCRIPTION", "UNDERLYING_SECURITY", "FOOTNOTE",
                   "HEADLINE", "SOURCE", "IDENTIFIERS", "STORY_PRODUCT", "ACCESSION", "AMENDMENT",
                   "DISCIPLINE", "KVN_COUNTRIES", "KVN_LANGUAGES", "KVN_REGIONS",
                   "REPORT_FOCUS", "RESEARCH_APPROACH", "PRIMARY_SYMBOLS", "STORY_DATETIME",
                   "NEWS_DATA", "CACCESS", "AUTH_TOKEN", "USER_PASSWD", "USER_SERIAL",
                   "GENERATOR", "SALT", "RET_VAL", "MD_BINARY", "USER_PERMISSIONS",
                   "TBL_HEADER", "MIC_CODE_SEG")),
    # Prices: quotes, trades, opens, highs, lows, closes, settlements, changes.
    (PRICE, re.compile(r"^(BID|ASK|MID|LAST|LAST_UNOFF|LAST_PREMKT|LAST_POSTMKT|INDICATIVE|"
                       r"CLOSE|OPEN|HIGH|LOW|MID_HIGH|MID_LOW|(HIGH|LOW|OPEN)_(ASK|BID|MID))_\d+$")),
    (PRICE, re.compile(r"_CHG$|_CHANGE$|CLOSE(_\d+)?$|CLOSE_UNADJ(_\d+)?$|SETTLE(_ELEC)?$|"
                       r"PRICE|VWAP|_HIGH$|_LOW$|_OPEN$|_52WEEK$|_BAND$|_POINTS_\d+$|_NAV$")),
    (PRICE, names("CORR_LAST", "LAST_TRADED", "TICK_SIZE", "COST", "TOT_COST", "DIVIDEND",
                  "THEO_VALUE")),
]


def field_type(name, fid):
    if any(lo <= fid <= hi for lo, hi in STATEMENT_SPANS):
        return DECIMAL
    for ftype, pattern in RULES:
        if pattern.search(name):
            return ftype
    return None


def read_constants(header):
    constants = []
    with open(header, encoding="ascii") as f:
        for line in f:
            m = DECL.match(line.strip())
            if m:
                constants.append((m.group(1), int(m.group(2))))
    return constants


def main(argv):
    header = argv[1] if len(argv) > 1 else os.path.join(ROOT, "include", "tavo", "rt_fields")
    output = argv[2] if len(argv) > 2 else os.path.join(ROOT, "data", "fields.xml")
    constants = read_constants(header)
    untyped = [name for name, fid in constants if field_type(name, fid) is None]
    if untyped:
        sys.exit("no type rule for: " + " ".join(untyped))

    legend = ", ".join("%d %s" % (t, n) for t, n in sorted(TYPE_NAMES.items()))
    lines = [
        '<?xml version="1.0" encoding="US-ASCII"?>',
        "<!-- Field dictionary: the name, FID (id) and value type of every named field.",
        "     Written by tools/gen/gen_field_dictionary.py from include/tavo/rt_fields.",
        "     Types: " + legend + ". -->",
        "<FieldDictionary>",
    ]
    for name, fid in constants:
        lines.append('  <Field name="%s" id="%d" type="%d"/>' % (name, fid, field_type(name, fid)))
    lines.append("</FieldDictionary>")
    # The dictionary reader handles lines of at most 254 characters.
    too_long = [l for l in lines if len(l) > 254]
    if too_long:
        sys.exit("line too long for the dictionary reader: " + too_long[0])
    with open(output, "w", encoding="ascii", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    print("%s: %d fields" % (output, len(constants)))


if __name__ == "__main__":
    main(sys.argv)
