// dmctl's pure parts: its command-line parsing, register values and JSON.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "dmctl/bus.hpp"
#include "dmctl/cli.hpp"
#include "dmctl/json.hpp"
#include "dmctl/registers.hpp"

namespace axiolink::dmctl {
namespace {

using damiao::RegisterType;
using damiao::RegisterValue;

TEST(DmctlJson, PlacesCommasEscapesStringsAndWritesNonFiniteAsNull) {
    Json json;
    json.begin_object()
        .key("list")
        .begin_array()
        .value(std::uint8_t{7})
        .value("quote \" backslash \\ line\n bell \x07")
        .null()
        .value(true)
        .end_array()
        .key("empty")
        .begin_object()
        .end_object()
        .field("tenth", 0.1F)
        .field("nan", std::numeric_limits<float>::quiet_NaN())
        .field("inf", -std::numeric_limits<float>::infinity())
        .field("big", std::uint64_t{0xFFFFFFFFFFFFFFFF})
        .end_object();
    EXPECT_EQ(json.text(),
              R"({"list":[7,"quote \" backslash \\ line\n bell \u0007",null,true],"empty":{},)"
              R"("tenth":0.1,"nan":null,"inf":null,"big":18446744073709551615})");
}

TEST(DmctlJson, StringsAreValidUtf8WhateverTheBytes) {
    struct Case {
        std::string_view bytes;
        std::string_view json;
    };
    const Case cases[] = {
        {"can0", R"("can0")"},
        {"N\xC2\xB7m", "\"N\xC2\xB7m\""},                          // kept as it is
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},               // four bytes
        {"\xFF\xFE", R"("\ufffd\ufffd")"},                         // no UTF-8 at all
        {"a\xC2", R"("a\ufffd")"},                                  // cut short
        {"\xC0\xAF", R"("\ufffd\ufffd")"},                         // overlong '/'
        {"\xE0\x80\xAF", R"("\ufffd\ufffd\ufffd")"},               // overlong, three bytes
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},               // a surrogate
        {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},     // beyond U+10FFFF
        {"\x80\"", R"("\ufffd\"")"},                               // a stray continuation
    };
    for (const Case& c : cases) {
        EXPECT_EQ(json_string(c.bytes), c.json) << c.json;
    }
}

TEST(DmctlArguments, SplitsOptionsFromPositionalArguments) {
    const OptionRule rules[] = {{"--ids", true}, {"--lines", false}};
    struct Case {
        std::vector<std::string_view> args;
        std::vector<std::string_view> positional;
        std::vector<std::pair<std::string_view, std::string_view>> options;
        bool help;
    };
    const Case cases[] = {
        {{"1", "--ids", "1-3", "-2.5"}, {"1", "-2.5"}, {{"--ids", "1-3"}}, false},
        {{"--ids=0x1-0x2", "--lines", "-h"}, {}, {{"--ids", "0x1-0x2"}, {"--lines", ""}}, true},
        {{"--", "--lines", "-x"}, {"--lines", "-x"}, {}, false},
        {{"-.5", "--help"}, {"-.5"}, {}, true},
    };
    for (const Case& c : cases) {
        const auto parsed = parse_args(c.args, rules, "scan");
        ASSERT_TRUE(parsed) << c.args[0];
        EXPECT_EQ(parsed->positional, c.positional) << c.args[0];
        EXPECT_EQ(parsed->options, c.options) << c.args[0];
        EXPECT_EQ(parsed->help, c.help) << c.args[0];
    }
    const std::pair<std::vector<std::string_view>, std::string_view> refused[] = {
        {{"--idz", "1"}, "scan: unknown option '--idz'"},
        {{"-x"}, "scan: unknown option '-x'"},
        {{"--lines=yes"}, "scan: --lines takes no value"},
        {{"--ids"}, "scan: --ids needs a value"},
    };
    for (const auto& [args, message] : refused) {
        const auto parsed = parse_args(args, rules, "scan");
        ASSERT_FALSE(parsed) << message;
        EXPECT_EQ(parsed.error().status, kExitUsage);
        EXPECT_EQ(parsed.error().message, message);
    }
}

TEST(DmctlArguments, StopsAtTheSubcommand) {
    const OptionRule rules[] = {{"--iface", true}, {"--json", false}};
    const std::vector<std::string_view> args{"--json", "--iface", "can1", "read", "--json"};
    std::span<const std::string_view> rest;
    const auto parsed = parse_args(args, rules, "", true, &rest);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->last("--iface"), "can1");
    EXPECT_TRUE(parsed->has("--json"));
    ASSERT_EQ(rest.size(), 2U);
    EXPECT_EQ(rest[0], "read");
}

TEST(DmctlArguments, IdListsKeepOrderAndDropRepeats) {
    EXPECT_EQ(*parse_id_list("3,1-3,0x7FF"), (std::vector<std::uint16_t>{3, 1, 2, 0x7FF}));
    EXPECT_EQ(*parse_id_list("0x10"), (std::vector<std::uint16_t>{16}));
    EXPECT_EQ(parse_id_list("1-0x800").error().message,
              "id '0x800' is not a number from 0 to 0x7FF (decimal or 0x hex)");
    EXPECT_EQ(parse_id_list("1,,2").error().message,
              "id '' is not a number from 0 to 0x7FF (decimal or 0x hex)");
    EXPECT_EQ(parse_seconds("-1", "--duration").error().message,
              "--duration '-1' is not a number of seconds");
    EXPECT_EQ(*parse_seconds("0.25", "--interval"), 0.25);
}

TEST(DmctlRegisters, ParsesValuesInTheRegistersOwnType) {
    struct Case {
        std::uint8_t number;
        std::string_view text;
        std::optional<RegisterValue> value;
    };
    const Case cases[] = {
        {21, "12.5", RegisterValue{RegisterType::Float, 0x41480000}},
        {21, "-0.5", RegisterValue{RegisterType::Float, 0xBF000000}},
        {21, "inf", std::nullopt},
        {21, "1e40", std::nullopt},
        {21, "12.5rad", std::nullopt},
        {10, "vel", RegisterValue{RegisterType::Uint32, 3}},
        {10, "FORCE_POS", RegisterValue{RegisterType::Uint32, 4}},
        {10, "7", RegisterValue{RegisterType::Uint32, 7}},
        {9, "0x10", RegisterValue{RegisterType::Uint32, 16}},
        {9, "4294967295", RegisterValue{RegisterType::Uint32, 0xFFFFFFFF}},
        {9, "4294967296", std::nullopt},
        {9, "-1", std::nullopt},
        {9, "vel", std::nullopt},
        {10, "velo", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_value(*damiao::find_register(c.number), c.text), c.value) << c.text;
    }
    EXPECT_EQ(damiao::value_kind(*damiao::find_register(10)),
              "one of mit, pos_vel, vel, force_pos (or 1 to 4)");
}

TEST(DmctlRegisters, IdWritesClashWithAnotherMotorWhereItIsCommandedOrAnswers) {
    // Motor 0x02 gets a new id; the other motor on the bus is 0x01, answering at 0x11.
    const BusMotor other{0x01, 0x11};
    struct Case {
        std::uint8_t number;
        std::uint32_t value;
        std::string_view clash;  // empty: none
        bool by_command_id;      // then the scan must reach motor 0x01
    };
    const Case cases[] = {
        {7, 0x001,
         "master id 0x01 is the MIT command id of motor 0x01 (master id 0x11), so "
         "motor 0x02's answers would be commands to it",
         true},
        {7, 0x201,
         "master id 0x201 is the VEL command id of motor 0x01 (master id 0x11), so "
         "motor 0x02's answers would be commands to it",
         true},
        {7, 0x011,
         "master id 0x11 is where motor 0x01 (master id 0x11) answers, so the answers "
         "of the two motors could not be told apart",
         false},
        {7, 0x012, "", false},
        {7, 0x401, "", false},
        {8, 0x001,
         "motor id 0x01's MIT command id 0x01 is the MIT command id of motor 0x01 "
         "(master id 0x11), so both motors would obey the frames sent there",
         true},
        {8, 0x701,
         "motor id 0x701's POS_VEL command id 0x01 is the MIT command id of motor "
         "0x01 (master id 0x11), so both motors would obey the frames sent there",
         true},
        {8, 0x201,
         "motor id 0x201's MIT command id 0x201 is the VEL command id of motor 0x01 "
         "(master id 0x11), so both motors would obey the frames sent there",
         true},
        {8, 0x711,
         "motor id 0x711's POS_VEL command id 0x11 is where motor 0x01 (master id "
         "0x11) answers, so its answers would be commands to motor 0x02",
         false},
        {8, 0x011,
         "motor id 0x11's MIT command id 0x11 is where motor 0x01 (master id 0x11) "
         "answers, so its answers would be commands to motor 0x02",
         false},
        {8, 0x003, "", false},
        {8, 0x401, "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(id_clash(0x02, c.number, c.value, other).value_or(""), c.clash)
            << int(c.number) << " " << c.value;
        const auto candidates = clash_candidates(c.number, c.value);
        EXPECT_EQ(std::ranges::find(candidates, other.motor_id) != candidates.end(),
                  c.by_command_id)
            << int(c.number) << " " << c.value;
    }
}

TEST(DmctlArguments, RepeatedIdListsJoinInOrderAndPresetsTakeAnyCase) {
    const std::vector<std::string_view> lists{"1-3", "5", "2,0x10"};
    EXPECT_EQ(*parse_id_lists(lists, kDefaultScanIds),
              (std::vector<std::uint16_t>{1, 2, 3, 5, 16}));
    EXPECT_EQ(parse_id_lists({}, kDefaultScanIds)->size(), 32U);
    const std::vector<std::string_view> wrong{"1-3", "5-2"};
    EXPECT_EQ(parse_id_lists(wrong, kDefaultScanIds).error().message,
              "id range '5-2' runs backwards");

    EXPECT_EQ(preset_limits("DM4340")->t_max, 28.0F);
    EXPECT_EQ(preset_limits("Dm10010L")->v_max, 25.0F);
    EXPECT_EQ(preset_limits("dm4310x").error().status, kExitUsage);
}

TEST(DmctlRegisters, NamesNumbersAndValueTexts) {
    EXPECT_EQ(parse_register("P_MAX"), 21);
    EXPECT_EQ(parse_register("0x0A"), 10);
    EXPECT_EQ(parse_register("200"), 200);
    EXPECT_EQ(parse_register("256"), std::nullopt);
    EXPECT_EQ(parse_mode("0"), std::nullopt);
    EXPECT_EQ(parse_mode("Pos_Vel"), 2);

    const std::pair<std::uint8_t, std::pair<RegisterValue, std::string_view>> texts[] = {
        {7, {{RegisterType::Uint32, 0x11}, "17 (0x11)"}},
        {10, {{RegisterType::Uint32, 9}, "9 (not a control mode)"}},
        {9, {{RegisterType::Uint32, 0}, "0 ticks"}},
        {23, {{RegisterType::Float, 0x41E00000}, "28 N·m"}},
        {22, {{RegisterType::Float, 0x7FC00000}, "NaN rad/s"}},
    };
    for (const auto& [number, expected] : texts) {
        EXPECT_EQ(value_text(number, expected.first), expected.second);
    }
    EXPECT_EQ(status_text(0xB), "driver stage over-temperature");
    EXPECT_EQ(status_text(0x5), "unknown code");
    EXPECT_EQ(padded("N·m", 5), "N·m   ");
    EXPECT_EQ(id_text(0x7FF), "0x7FF");
}

}  // namespace
}  // namespace axiolink::dmctl
