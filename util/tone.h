// The tone and hex-digit routines: a tone on the PC speaker through the 8254
// timer's ports, and the value of one hexadecimal digit character.
#pragma once

// Sounds the speaker at `frequency` Hz for `seconds`, then silences it; returns
// when the tone has ended. Frequency 0 loads the timer's largest count (about
// 18.2 Hz); so does any frequency below 19 Hz, the lowest the timer can make.
void beep(unsigned frequency, double seconds);

// The value of the hexadecimal digit at c: "0" to "9" give 0 to 9, "A" to "F"
// give 10 to 15. The character is not checked: lower-case letters are not
// folded ("a" gives 42) and anything else gives its code minus 48 or 55.
int hextodec(const char *c);
