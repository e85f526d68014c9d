// Decoding of the register block and the texts shown for it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measure/measure_text.h"
#include "measure/register_block.h"
#include "reply_fixture.h"

namespace tagris {
namespace {

using test::ReplyFixture;

TEST(RegisterBlock, RegistersAreReadHighByteFirstFromByteThree) {
  std::array<std::uint8_t, kMeasurementReplyLength> reply{};
  reply[3] = 0x00;  // register 0
  reply[4] = 0x2D;
  reply[3 + 2 * 45] = 0x03;  // register 45 = 1000
  reply[4 + 2 * 45] = 0xE8;
  reply[109] = 0xAB;  // register 53, the last one
  reply[110] = 0xCD;
  const RegisterBlock b = DecodeRegisterBlock(reply.data());
  EXPECT_EQ(b.reg[0], 0x002D);
  EXPECT_EQ(b.reg[45], 1000);
  EXPECT_EQ(b.xmax, 1000);
  EXPECT_EQ(b.reg[53], 0xABCD);
}

TEST(RegisterBlock, ScaledValues) {
  const RegisterBlock b = DecodeRegisterBlock(ReplyFixture{{45, 1000}, {46, 100}, {36, 2346}, {47, 100}}.data());
  EXPECT_DOUBLE_EQ(b.peakFrequency, 2038.59375);
  EXPECT_DOUBLE_EQ(b.peakWidth, 11.71875);
  EXPECT_DOUBLE_EQ(b.moisture, 2346 * 0.01);
  EXPECT_EQ(b.marker, 400);
}

TEST(RegisterBlock, Register37SignRuleSubtracts0xFFFF) {
  struct Case { std::uint16_t raw; int count; };
  for (const Case c : {Case{0x0000, 0}, Case{0x7FFF, 32767}, Case{0x8000, -32767}, Case{0xFFFE, -1},
                       Case{0xFFFF, 0}}) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(UnlimitedMoistureCount(c.raw), c.count);
    EXPECT_DOUBLE_EQ(DecodeRegisterBlock(ReplyFixture{{37, c.raw}}.data()).moistureUnlimited, c.count * 0.01);
  }
}

TEST(RegisterBlock, TemperaturesAreTwosComplement) {
  struct Case { std::uint16_t raw; float celsius; };
  for (const Case c : {Case{0xFFCE, -5.0f}, Case{235, 23.5f}, Case{0x7FFF, 3276.7f}, Case{0x8000, -3276.8f},
                       Case{0xFFFF, -0.1f}}) {
    SCOPED_TRACE(c.raw);
    const RegisterBlock b = DecodeRegisterBlock(ReplyFixture{{38, c.raw}, {50, c.raw}}.data());
    EXPECT_FLOAT_EQ(b.temperature, c.celsius);
    EXPECT_FLOAT_EQ(b.mixTemperature, c.celsius);
  }
}

TEST(RegisterBlock, OtherRegistersStayUnsigned) {
  const RegisterBlock b = DecodeRegisterBlock(
      ReplyFixture{{36, 0xFFCE}, {40, 0xFFFF}, {45, 0x8000}, {46, 0xFFFF}, {33, 0xFFFF}, {2, 0xFFFF}}.data());
  EXPECT_DOUBLE_EQ(b.moisture, 65486 * 0.01);
  EXPECT_EQ(b.offset, 65535);
  EXPECT_EQ(b.xmax, 32768);
  EXPECT_DOUBLE_EQ(b.peakWidth, 0.46875 * 65535 * 0.25);
  EXPECT_EQ(b.channel, 65535);
  EXPECT_DOUBLE_EQ(b.grade[0], (65535 - 100) * 0.1);
}

TEST(RegisterBlock, KeptValuesAreFloatsOfTheDoubleResults) {
  const Measurement m =
      KeptValues(DecodeRegisterBlock(ReplyFixture{{36, 2346}, {38, 0xFFCE}, {50, 215}, {45, 1000}, {46, 100}}.data()));
  EXPECT_EQ(m.moisture, static_cast<float>(2346 * 0.01));
  EXPECT_EQ(m.temperature, -5.0f);
  EXPECT_EQ(m.mixTemperature, static_cast<float>(215 * 0.1));
  EXPECT_EQ(m.peakFrequency, 2038.59375f);
  EXPECT_EQ(m.peakWidth, 11.71875f);
}

TEST(SerialSettings, Register0Word) {
  struct Case { std::uint16_t word; int baud; const char* parity; const char* stop; };
  const Case cases[] = {
      {0x0000, 4800, "NOPARITY", "STOP1"},   {0x0001, 4800, "NOPARITY", "STOP1"},
      {0x0003, 4800, "NOPARITY", "STOP1"},   {0x0004, 9600, "NOPARITY", "STOP1"},
      {0x0006, 19200, "NOPARITY", "STOP1"},  {0x002D, 14400, "EVENPARITY", "STOP2"},
      {0x0037, 38400, "ODDPARITY", "STOP2"}, {0x003F, 38400, "NOPARITY", "STOP2"},
      {0x0018, 4800, "NOPARITY", "STOP1"},   {0xFFC4, 9600, "NOPARITY", "STOP1"},  // bits 6..15 ignored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const MeasurementTexts t = RenderMeasurementTexts(DecodeRegisterBlock(ReplyFixture{{0, c.word}}.data()));
    EXPECT_EQ(t.baud, std::to_string(c.baud) + " бод");
    EXPECT_EQ(t.parity, c.parity);
    EXPECT_EQ(t.stop, c.stop);
  }
}

// A few registers of the block and the text one label shows for them.
struct LabelCase {
  const char* what;
  std::vector<std::pair<int, std::uint16_t>> regs;
  std::string MeasurementTexts::*label;
  std::string expected;
};

class LabelTexts : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelTexts, Show) {
  const LabelCase& c = GetParam();
  ReplyFixture reply;
  for (const auto& [n, v] : c.regs) reply.Set(n, v);
  EXPECT_EQ(RenderMeasurementTexts(DecodeRegisterBlock(reply.data())).*c.label, c.expected) << c.what;
}

using T = MeasurementTexts;
INSTANTIATE_TEST_SUITE_P(
    Registers, LabelTexts,
    ::testing::Values(
        LabelCase{"peak frequency", {{45, 1000}}, &T::peakFrequency, "Частота пика   2038.6  мГц"},
        LabelCase{"peak frequency at 0", {{45, 0}}, &T::peakFrequency, "Частота пика   1980.0  мГц"},
        LabelCase{"peak width", {{46, 100}}, &T::peakWidth, "Ширина пика    11.7      мГц"},
        LabelCase{"W", {{36, 2346}}, &T::moisture, "W =  23.5 %об."},
        LabelCase{"W rounds half up", {{36, 25}}, &T::moisture, "W =  0.3 %об."},
        LabelCase{"W at 0", {{36, 0}}, &T::moisture, "W =  0.0 %об."},
        LabelCase{"W above 100", {{36, 65535}}, &T::moisture, "W =  655.4 %об."},
        LabelCase{"unlimited W 0xFFFF is zero", {{37, 0xFFFF}}, &T::moistureUnlimited, "без ограничений 00.0 %"},
        LabelCase{"unlimited W 0x8000", {{37, 0x8000}}, &T::moistureUnlimited, "без ограничений -327.7 %"},
        LabelCase{"unlimited W positive", {{37, 1234}}, &T::moistureUnlimited, "без ограничений 12.3 %"},
        LabelCase{"negative temperature", {{38, 0xFFCE}}, &T::temperature, "Temp = -05.0 C"},
        LabelCase{"temperature", {{38, 235}}, &T::temperature, "Temp = 23.5 C"},
        LabelCase{"small temperature", {{38, 1}}, &T::temperature, "Temp = 00.1 C"},
        LabelCase{"negative mixture temperature", {{50, 0xFFCE}}, &T::mixTemperature, "Temp смеси = -05.0 C"},
        LabelCase{"mixture temperature", {{50, 1234}}, &T::mixTemperature, "Temp смеси = 123.4 C"},
        LabelCase{"offset below XmaxOp", {{42, 500}, {45, 480}}, &T::sm, "без коррекции 20"},
        LabelCase{"offset at XmaxOp", {{42, 500}, {45, 500}}, &T::sm, "без коррекции 0"},
        LabelCase{"offset above XmaxOp", {{42, 500}, {45, 501}}, &T::sm, "без коррекции 0"},
        LabelCase{"marker times 4", {{47, 100}}, &T::marker, "Marker =  400"},
        LabelCase{"marker beyond the mask", {{47, 65535}}, &T::marker, "Marker =  262140"},
        LabelCase{"offset with correction", {{40, 7}}, &T::smCorr, "смещение 7"},
        LabelCase{"YmaxOp", {{41, 41}}, &T::ymaxOp, "YmaxOp =  41"},
        LabelCase{"XmaxOp", {{42, 42}}, &T::xmaxOp, "XmaxOp =  42"},
        LabelCase{"PolOp", {{43, 43}}, &T::polOp, "PolOp =  43"},
        LabelCase{"Ymax", {{44, 65535}}, &T::ymax, "Ymax =  65535"},
        LabelCase{"Xmax", {{45, 45}}, &T::xmax, "Xmax =  45"},
        LabelCase{"Pol", {{46, 46}}, &T::pol, "Pol =  46"},
        LabelCase{"DAC", {{48, 0}}, &T::dac, "DAC =  0"},
        LabelCase{"channel 3", {{33, 3}}, &T::channel, "Включен канал  3"},
        LabelCase{"channel 0 is shown as it is", {{33, 0}}, &T::channel, "Включен канал  0"},
        LabelCase{"channel 14", {{33, 14}}, &T::channel, "Включен канал  14"}));

TEST(ChannelTable, GradeAndSalinityCells) {
  struct Case { int reg; std::uint16_t value; bool grade; int row; const char* cell; };
  const Case cases[] = {
      {2, 100, true, 1, "0.0"},   {2, 0, true, 1, "-10.0"},    {2, 115, true, 1, "1.5"},
      {2, 99, true, 1, "-0.1"},   {15, 250, true, 14, "15.0"}, {18, 1000, false, 1, "100.0"},
      {18, 0, false, 1, "0.0"},   {31, 5, false, 14, "0.5"},   {20, 123, false, 3, "12.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reg);
    SCOPED_TRACE(c.value);
    const MeasurementTexts t = RenderMeasurementTexts(DecodeRegisterBlock(ReplyFixture{{c.reg, c.value}}.data()));
    EXPECT_EQ((c.grade ? t.grade : t.salinity)[c.row - 1], c.cell);
  }
}

TEST(MediumText, CodesZeroToTwoOnly) {
  EXPECT_EQ(MediumText(0), "  Нефть ");
  EXPECT_EQ(MediumText(1), "  Вода ");
  EXPECT_EQ(MediumText(2), "  Воздух ");
  EXPECT_FALSE(MediumText(3).has_value());
  EXPECT_FALSE(MediumText(5).has_value());
  EXPECT_FALSE(MediumText(0xFFFF).has_value());
  EXPECT_EQ(PhaseText(" "), "Фаза      ");
  EXPECT_EQ(PhaseText("  Вода "), "Фаза       Вода ");
}

}  // namespace
}  // namespace tagris
