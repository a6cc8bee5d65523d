// Port I/O for the driver (host/host.h): the real instructions.
#include "metal/kernel/metal.h"

uint8_t inportb(uint32_t port) {
  uint8_t v;
  asm volatile("inb %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
uint16_t inportw(uint32_t port) {
  uint16_t v;
  asm volatile("inw %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
uint32_t inportd(uint32_t port) {
  uint32_t v;
  asm volatile("inl %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
void outportb(uint32_t port, uint8_t value) {
  asm volatile("outb %0, %w1" ::"a"(value), "Nd"(port));
}
void outportw(uint32_t port, uint16_t value) {
  asm volatile("outw %0, %w1" ::"a"(value), "Nd"(port));
}
void outportd(uint32_t port, uint32_t value) {
  asm volatile("outl %0, %w1" ::"a"(value), "Nd"(port));
}
