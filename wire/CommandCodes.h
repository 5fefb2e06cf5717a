// Command codes of the command channel: 4-byte little-endian codes sent to the console.
#pragma once

#include <cstdint>

constexpr std::uint16_t COMMAND_PORT = 2003;
constexpr const char* COMMAND_HOST = "127.0.0.1";

constexpr std::int32_t CMD_SCAN_START = 3872;         // 0x0F20
constexpr std::int32_t CMD_SCAN_STOP = 3873;          // 0x0F21
constexpr std::int32_t CMD_ACQUIRE_STOP = 3904;       // 0x0F40
constexpr std::int32_t CMD_ACQUIRE_START = 3905;      // 0x0F41
constexpr std::int32_t CMD_MOVER_DIAGNOSTICS = 3920;  // 0x0F50
constexpr std::int32_t CMD_MOVER_FUNCTIONS = 3921;    // 0x0F51
constexpr std::int32_t CMD_HANDSHAKE_C = 3923;        // 0x0F53, 4-byte reply
constexpr std::int32_t CMD_MOUSE_SET = 3924;          // 0x0F54, argument m_mouseMode
constexpr std::int32_t CMD_HANDSHAKE_A = 3925;        // 0x0F55, 4-byte reply
constexpr std::int32_t CMD_PROBE_QUERY = 3927;        // 0x0F57, 32-byte reply
constexpr std::int32_t CMD_HANDSHAKE_B = 3928;        // 0x0F58, 4-byte reply
constexpr std::int32_t CMD_SOUND_QUERY = 3936;        // 0x0F60, 4-byte reply
constexpr std::int32_t CMD_SOUND_SET = 3937;          // 0x0F61, argument m_sound
constexpr std::int32_t CMD_SENSOR_SET = 3952;         // 0x0F70
constexpr std::int32_t CMD_CALIBRATE = 3953;          // 0x0F71
constexpr std::int32_t CMD_AUTOEXPOSURE = 3954;       // 0x0F72
constexpr std::int32_t CMD_IDM_SETTINGS = 3955;       // 0x0F73
constexpr std::int32_t CMD_TOOLBAR_SHOW = 3956;       // 0x0F74
constexpr std::int32_t CMD_TOOLBAR_HIDE = 3957;       // 0x0F75
constexpr std::int32_t CMD_STATUS_SHOW = 3958;        // 0x0F76
constexpr std::int32_t CMD_STATUS_HIDE = 3959;        // 0x0F77
constexpr std::int32_t CMD_MODEL_START = 3961;        // 0x0F79, argument m_startMode
constexpr std::int32_t CMD_USER_OPTIONS = 3967;       // 0x0F7F
constexpr std::int32_t CMD_MOVER_CONNECT = 3968;      // 0x0F80
constexpr std::int32_t CMD_MOVER_DISCONNECT = 3969;   // 0x0F81
constexpr std::int32_t CMD_SENSOR_QUERY = 3971;       // 0x0F83, 4-byte reply

constexpr int PROBE_REPLY_SIZE = 32;
constexpr int PROBE_DIAMETER_OFFSET = 4;
