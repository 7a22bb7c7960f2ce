// I/O ports and delays. A user program cannot reach the PC's I/O ports, so the
// ports that sound the speaker are modelled: the 8254 timer's channel 2
// (mode word on 0x43, divisor low then high byte on 0x42) and the speaker
// control bits 0 and 1 of 0x61. While both bits are set the model sounds a
// square wave of 1193180 / divisor Hz (a divisor of 0 counts as 65536), and
// the computer's sound card or PC-speaker beeper plays it; without either the
// model works all the same, silently.
#pragma once

// Writes a byte to an I/O port; returns the byte written.
int CVI_outp(int port, int byte);
// Reads a byte from an I/O port; a port not modelled reads 0xFF.
int CVI_inp(int port);
// Waits the given number of seconds, blocking the caller; zero, negative or
// not a number returns at once.
void Delay(double seconds);
