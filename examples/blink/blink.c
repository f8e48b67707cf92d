/* blink: toggles P0.0 of an nRF24LE1 about twice a second.
 * Timer 0 counts overflows in an interrupt and the main loop flips the pin every 16 of them,
 * so the program has an interrupt vector, start-up code and main code at separate addresses:
 * a handy small image for checking the HEX converter and the write path.
 * Build: make (needs sdcc). */

/* Special function registers of the nRF24LE1 that this program uses. */
__sfr __at(0x80) P0;
__sfr __at(0x93) P0DIR;   /* 1 = input, 0 = output */
__sfr __at(0x89) TMOD;
__sfr __at(0x8C) TH0;
__sfr __at(0x8A) TL0;
__sbit __at(0x8C) TR0;    /* TCON.4: timer 0 run */
__sbit __at(0xA9) ET0;    /* IEN0.1: timer 0 interrupt enable */
__sbit __at(0xAF) EA;     /* IEN0.7: global interrupt enable */
__sbit __at(0x80) LED;    /* P0.0 */

static volatile unsigned char ticks;

void timer0_isr(void) __interrupt(1)
{
    ++ticks;
}

void main(void)
{
    unsigned char last = 0;

    P0DIR &= (unsigned char)~0x01; /* P0.0 drives the LED */
    LED = 0;
    TMOD = (TMOD & 0xF0) | 0x01;   /* timer 0, 16-bit mode */
    TH0 = 0;
    TL0 = 0;
    ET0 = 1;
    EA = 1;
    TR0 = 1;

    for (;;) {
        unsigned char now = ticks;
        if ((unsigned char)(now - last) >= 16) {
            last = now;
            LED = !LED;
        }
    }
}
