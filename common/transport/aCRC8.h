#pragma once
// CRC-8/MAXIM (Dallas 1-Wire): reflected polynomial 0x8C, initial value 0, no final XOR.
// Check value 0xA1 for "123456789".
#include <cstdint>

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, uint64_t length);
bool crc8_check(const uint8_t* data, uint64_t length, uint8_t expected);
