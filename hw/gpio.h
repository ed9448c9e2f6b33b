#pragma once
// GPIO pins of both processor families. Pins not below the pin count are ignored.
#include <cstdint>

void gpioConfigure(uint32_t pin, uint32_t function, uint32_t isOutput);
void gpioSetDirection(uint32_t pin, uint32_t isOutput);
void gpioWrite(uint32_t pin, uint32_t level);
uint32_t gpioRead(uint32_t pin);
