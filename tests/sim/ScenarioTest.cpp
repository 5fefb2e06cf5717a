// The simulator's script and hold parsers, and the poses of its synthetic part as the plug-in's
// conversion reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "datachannel/PoseConversion.h"
#include "tools/console-sim/Scenario.h"
#include "tools/console-sim/SyntheticPart.h"

namespace {

bool parse(const std::string& text, std::vector<ScriptEvent>* events, std::string* error) {
  std::istringstream in(text);
  return parseScript(in, events, error);
}

TEST(ScenarioTest, ReadsEveryEventOrderedByTime) {
  const std::string script =
      "# measuring one part\n"
      "\n"
      "500 button 1          # trigger\r\n"
      "200 probe-vector 1 2.5 -3 90 0 45\n"
      "200 probe-point 4 5 6\n"
      "  0 scan-begin long\n"
      "900 bad-count 20000 10\n"
      "900 bad-count -3\n"
      "901 garbage 17\n"
      "902 button-final -4\n"
      "903 stall 250\n";
  std::vector<ScriptEvent> events;
  std::string error;
  ASSERT_TRUE(parse(script, &events, &error)) << error;
  ASSERT_EQ(events.size(), 9u);

  EXPECT_EQ(events[0].kind, ScriptEventKind::ScanBegin);
  EXPECT_TRUE(events[0].longText);
  EXPECT_EQ(events[0].line, 6);
  EXPECT_EQ(events[1].kind, ScriptEventKind::ProbeVector);
  const float vector[6] = {1, 2.5f, -3, 90, 0, 45};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(events[1].values[i], vector[i]) << i;
  EXPECT_EQ(events[2].kind, ScriptEventKind::ProbePoint);  // same time: file order
  EXPECT_EQ(events[2].values[2], 6.0f);
  EXPECT_EQ(events[3].kind, ScriptEventKind::Button);
  EXPECT_EQ(events[3].number, 1);
  EXPECT_EQ(events[3].atMs, 500);
  EXPECT_EQ(events[4].number, 20000);
  EXPECT_EQ(events[4].pointsSent, 10);
  EXPECT_EQ(events[5].number, -3);
  EXPECT_EQ(events[5].pointsSent, 0);
  EXPECT_EQ(events[6].kind, ScriptEventKind::Garbage);
  EXPECT_EQ(events[6].number, 17);
  EXPECT_EQ(events[7].kind, ScriptEventKind::ButtonFinal);
  EXPECT_EQ(events[7].number, -4);
  EXPECT_EQ(events[8].kind, ScriptEventKind::Stall);
  EXPECT_EQ(events[8].number, 250);

  for (const char* name :
       {"echo", "echo-final", "begin", "scan-end", "acquire-begin", "acquire-end", "acquire-on",
        "acquire-off", "end", "stripe", "cut", "stall", "close", "quit"}) {
    ASSERT_TRUE(parse(std::string("10 ") + name, &events, &error)) << name << ": " << error;
    ASSERT_EQ(events.size(), 1u);
    EXPECT_STREQ(scriptEventName(events[0].kind), name);
  }
}

TEST(ScenarioTest, RejectsBadLinesNamingTheLine) {
  const char* const bad[] = {
      "x button 1",
      "-5 button 1",
      "100",
      "100 jump",
      "100 button",
      "100 button 1 2",
      "100 button one",
      "100 button 99999999999",
      "100 probe-point 1 2",
      "100 probe-point 1 2 z",
      "100 probe-vector 1 2 3 4 5",
      "100 garbage 0",
      "100 garbage 1000001",
      "100 bad-count 2000000",  // more than can be sent without a SENT count
      "100 bad-count 5 -1",
      "100 stripe now",
      "100 stall 0",
      "100 end short",
      "100 Button 1",
  };
  for (const char* line : bad) {
    std::vector<ScriptEvent> events;
    std::string error;
    EXPECT_FALSE(parse(std::string("# header\n\n") + line + "\n", &events, &error)) << line;
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << line << " -> " << error;
  }
  std::vector<ScriptEvent> events;
  std::string error;
  EXPECT_FALSE(parseScriptFile("no-such-folder/no-such-script.txt", &events, &error));
  EXPECT_NE(error.find("no-such-script.txt"), std::string::npos);
}

TEST(ScenarioTest, HeldRepliesNeedCodeAndTime) {
  HeldReply hold;
  std::string error;
  ASSERT_TRUE(parseHeldReply("3925:15000", &hold, &error)) << error;
  EXPECT_EQ(hold.code, 3925);
  EXPECT_EQ(hold.ms, 15000);
  EXPECT_EQ(hold.count, -1);
  ASSERT_TRUE(parseHeldReply("3971:0:2", &hold, &error)) << error;
  EXPECT_EQ(hold.ms, 0);
  EXPECT_EQ(hold.count, 2);
  for (const char* text :
       {"3925", "3925:", ":100", "3925:-1", "3925:100:0", "a:b", "3925:100:2:3", "3925:3600001"}) {
    EXPECT_FALSE(parseHeldReply(text, &hold, &error)) << text;
  }
}

double distance(const GPointDouble& a, const GPointDouble& b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                   (a.z - b.z) * (a.z - b.z));
}

// The plug-in hands a laser pose over as the negated turned Z axis and a probe pose as the
// turned Z axis itself: the sensor must look at its line, the probe along the surface normal.
TEST(SyntheticPartTest, PosesPointWhereThePartIs) {
  PoseConversion conversion;
  PoseHeader header;
  std::vector<float> points;
  for (int number : {1, 120, 241, 300}) {
    makeStripe(number, 101, false, &header, &points);
    ASSERT_EQ(points.size(), 303u);
    GPointDouble d = conversion.Direction(header);
    const float* middle = &points[3 * 50];
    EXPECT_EQ(middle[1], 0.0f);
    GPointDouble lineMiddle{middle[0], middle[1], 0.0};
    GPointDouble seen{header.x - PART_SENSOR_STANDOFF * d.x, header.y - PART_SENSOR_STANDOFF * d.y,
                      header.z - PART_SENSOR_STANDOFF * d.z};
    EXPECT_LT(distance(seen, lineMiddle), 1e-3) << "stripe " << number;
    for (std::size_t i = 0; i < points.size(); i += 3) {
      double r = std::sqrt(points[i] * points[i] + points[i + 1] * points[i + 1] +
                           points[i + 2] * points[i + 2]);
      // On the plane or on the sphere, never inside it.
      ASSERT_TRUE(points[i + 2] == 0.0f || std::fabs(r - PART_SPHERE_RADIUS) < 1e-3)
          << "stripe " << number << " point " << i / 3;
    }
  }

  for (int number = 1; number <= 20; ++number) {
    float point[3];
    makeProbeTouch(number, false, &header, point);
    GPointDouble normal{point[0] / PART_SPHERE_RADIUS, point[1] / PART_SPHERE_RADIUS,
                        point[2] / PART_SPHERE_RADIUS};
    EXPECT_LT(distance(conversion.Direction(header), normal), 1e-5) << "touch " << number;
    EXPECT_EQ(header.numPoints, 1);
    EXPECT_EQ(header.x, point[0]);
  }
}

}  // namespace
