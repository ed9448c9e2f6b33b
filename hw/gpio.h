#pragma once
// GPIO pins of both processor families. Pins not below the pin count are ignored.
//
// Pins 0..127 are GPIO 0..127. On PXA3xx a pin from 128 up drives the level, output and
// direction bits of GPIO (pin - 128) but has a multi-function pin register (MFPR) of its own.
#include <cstdint>

constexpr uint32_t GPIO_PHYSICAL = 0x40E00000;
constexpr uint32_t MFPR_PHYSICAL = 0x40E10000;

// Pin counts by processor (any product other than PXA320/300/310 uses the PXA270 layout).
constexpr uint32_t GPIO_PINS_PXA270 = 121;
constexpr uint32_t GPIO_PINS_PXA320 = 146;
constexpr uint32_t GPIO_PINS_PXA300 = 135;
constexpr uint32_t GPIO_PINS_PXA310 = 139;

// A run of pins whose MFPRs lie at consecutive words from firstOffset (offset from
// MFPR_PHYSICAL).
struct MfprRun {
  uint32_t firstPin;
  uint32_t lastPin;
  uint32_t firstOffset;
};
constexpr uint32_t MFPR_RUNS_PXA320 = 11;
constexpr uint32_t MFPR_RUNS_PXA3X0 = 6;
extern const MfprRun mfprRunsPxa320[MFPR_RUNS_PXA320];
extern const MfprRun mfprRunsPxa3x0[MFPR_RUNS_PXA3X0];  // PXA300 and PXA310

void gpioConfigure(uint32_t pin, uint32_t function, uint32_t isOutput);
void gpioSetDirection(uint32_t pin, uint32_t isOutput);
void gpioWrite(uint32_t pin, uint32_t level);
uint32_t gpioRead(uint32_t pin);
