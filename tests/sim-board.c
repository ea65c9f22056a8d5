/* sim-board: a simulated Arduino board (ATmega328P at 16 MHz with Arduino's ATmegaBOOT bootloader) that
 * the real avrdude programs with -c arduino through a pty.
 *
 *   sim-board LINK EEPROM_FILE [BAD_OFFSET]
 *
 * Build (pkg-config simavr fails on a missing libelf.pc, so the library is named directly):
 *   cc -O2 -o sim-board tests/sim-board.c -lsimavr -lutil
 *
 * The EEPROM (1024 bytes) is loaded from EEPROM_FILE when it exists and is not empty (a short file: the
 * rest 0xFF), else blank. UART0 is on a pty; LINK is made pointing at the pty once the board is ready to
 * talk. Every EEPROM write to BAD_OFFSET stores the written value with bit 1 flipped (a chip that stores
 * a byte wrong). SIGUSR1 writes the EEPROM to EEPROM_FILE; SIGTERM or SIGINT writes it, removes LINK,
 * prints "sim-board: N eeprom writes" on stderr and exits 0. Errors: one line on stderr, exit 1.
 * The pty is mode 0600 for the board's user: for avrdude run as another, chown "$(readlink LINK)".
 * A pty carries no baud rate, so any avrdude -b works here; a real board with this bootloader needs 57600.
 *
 * The pty is served here rather than by simavr's uart_pty part: that part's thread polls all the time,
 * and it also points the one name /tmp/simavr-uart0 at every board's pty.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <simavr/avr_eeprom.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>

#define BOOTLOADER "/usr/share/arduino/hardware/arduino/avr/bootloaders/atmega/ATmegaBOOT_168_atmega328.hex"
#define HZ 16000000
#define EE_SIZE 1024
/* ATmega328P data-space addresses and EECR bits, from its datasheet. */
#define EECR 0x3f
#define EEARL 0x41
#define EEARH 0x42
#define EEMPE (1 << 2)
#define EEPE (1 << 1)

static const char *link_path, *ee_path;
static int link_made;
static uint8_t *ee; /* the simulated chip's EEPROM bytes */
static long bad_offset = -1;
static unsigned long ee_writes;
static avr_io_write_t eecr_write; /* simavr's own EECR handler, which programs the byte */
static void *eecr_param;
static int pty_fd; /* the pty's master side */
static uint8_t in_buf[512];
static size_t in_len, in_pos; /* bytes read from the pty, not yet given to the UART */
static int uart_full;
static avr_irq_t *uart_in;
static avr_cycle_count_t last_traffic;
static volatile sig_atomic_t got_term, got_usr1;

static void die(const char *what, const char *path, const char *reason)
{
	fprintf(stderr, "sim-board: %s: %s%s%s\n", what, path, *path ? ": " : "", reason);
	if (link_made)
		unlink(link_path);
	exit(1);
}

static avr_cycle_count_t programmed(avr_t *avr, avr_cycle_count_t when, void *param)
{
	(void)when, (void)param;
	avr->data[EECR] &= ~EEPE;
	return 0;
}

/* Wraps simavr's EECR handler: a write of EEPE while EEMPE is still set programs one byte. simavr
 * stores it at once and clears EEPE; the real chip keeps EEPE set for 3.3 ms (its datasheet's
 * programming time) and the bootloader waits for that, so a write here takes as long as on a board. */
static void eecr_hook(avr_t *avr, avr_io_addr_t addr, uint8_t v, void *param)
{
	(void)param;
	int programs = (v & EEPE) && (avr->data[EECR] & EEMPE);
	long at = (avr->data[EEARL] | avr->data[EEARH] << 8) & (EE_SIZE - 1);
	eecr_write(avr, addr, v, eecr_param);
	if (programs) {
		ee_writes++;
		if (at == bad_offset)
			ee[at] ^= 0x02;
		avr_cycle_timer_register_usec(avr, 3300, programmed, NULL);
	}
	if (avr_cycle_timer_status(avr, programmed, NULL))
		avr->data[EECR] |= EEPE;
}

/* Written beside the file and renamed over it, so that a reader never sees half an EEPROM. */
static void save_eeprom(void)
{
	char tmp[4096];
	snprintf(tmp, sizeof tmp, "%s.sim-board-tmp", ee_path);
	FILE *f = fopen(tmp, "wb");
	if (!f || fwrite(ee, 1, EE_SIZE, f) != EE_SIZE || fclose(f) != 0 || rename(tmp, ee_path) != 0)
		die("writing the EEPROM", ee_path, strerror(errno));
}

static void load_eeprom(void)
{
	memset(ee, 0xff, EE_SIZE);
	FILE *f = fopen(ee_path, "rb");
	if (!f && errno == ENOENT)
		return;
	if (!f || (fread(ee, 1, EE_SIZE, f), ferror(f)))
		die("reading the EEPROM", ee_path, strerror(errno));
	fclose(f);
}

/* Loads the Intel HEX data records into flash and returns the lowest address. (simavr's own reader
 * prints a complaint about the file's start-address record; the file has no extended records.) */
static uint32_t load_bootloader(avr_t *avr)
{
	FILE *f = fopen(BOOTLOADER, "r");
	if (!f)
		die("reading the bootloader", BOOTLOADER, strerror(errno));
	char line[600];
	uint32_t lowest = UINT32_MAX;
	while (fgets(line, sizeof line, f)) {
		uint8_t rec[260];
		unsigned n = 0, sum = 0;
		while (n < sizeof rec && sscanf(line + 1 + 2 * n, "%2hhx", &rec[n]) == 1)
			sum += rec[n++];
		if (line[0] != ':' || n < 5 || n != rec[0] + 5u || sum % 256)
			die("reading the bootloader", BOOTLOADER, "not Intel HEX");
		uint32_t at = rec[1] << 8 | rec[2];
		if (rec[3] == 0) {
			avr_loadcode(avr, rec + 4, rec[0], at);
			lowest = at < lowest ? at : lowest;
		}
	}
	fclose(f);
	if (lowest == UINT32_MAX)
		die("reading the bootloader", BOOTLOADER, "no data");
	return lowest;
}

/* Gives the UART the bytes read from the pty, as fast as its receive fifo takes them. */
static void feed_uart(avr_t *avr)
{
	while (!uart_full && in_pos < in_len) {
		last_traffic = avr->cycle;
		avr_raise_irq(uart_in, in_buf[in_pos++]);
	}
}

static void uart_xon(avr_irq_t *irq, uint32_t value, void *avr)
{
	(void)irq, (void)value;
	uart_full = 0;
	feed_uart(avr);
}

static void uart_xoff(avr_irq_t *irq, uint32_t value, void *avr)
{
	(void)irq, (void)value, (void)avr;
	uart_full = 1;
}

/* A byte the bootloader sends. With no programmer reading, the pty fills and the byte is lost, as on a
 * board with nothing on its serial line. */
static void uart_out(avr_irq_t *irq, uint32_t value, void *avr)
{
	(void)irq;
	uint8_t b = value;
	last_traffic = ((avr_t *)avr)->cycle;
	if (write(pty_fd, &b, 1) < 0 && errno != EAGAIN)
		die("writing to the pty", "", strerror(errno));
}

static void read_pty(void)
{
	if (in_pos < in_len)
		return;
	ssize_t n = read(pty_fd, in_buf, sizeof in_buf);
	if (n < 0 && errno != EAGAIN && errno != EINTR)
		die("reading the pty", "", strerror(errno));
	in_pos = 0, in_len = n > 0 ? n : 0;
}

static void serve_signals(void)
{
	if (got_usr1) {
		got_usr1 = 0;
		save_eeprom();
	}
	if (got_term) {
		save_eeprom();
		unlink(link_path);
		fprintf(stderr, "sim-board: %lu eeprom writes\n", ee_writes);
		exit(0);
	}
}

static void on_signal(int sig)
{
	if (sig == SIGUSR1)
		got_usr1 = 1;
	else
		got_term = 1;
}

static uint64_t now_ns(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (uint64_t)t.tv_sec * 1000000000u + t.tv_nsec;
}

/* The CPU sleeping: time is kept by the throttle in main, not by simavr's usleep. */
static void no_sleep(avr_t *avr, avr_cycle_count_t how_long)
{
	(void)avr, (void)how_long;
}

int main(int argc, char **argv)
{
	if (argc < 3 || argc > 4) {
		fprintf(stderr, "usage: sim-board LINK EEPROM_FILE [BAD_OFFSET]\n");
		return 1;
	}
	link_path = argv[1];
	ee_path = argv[2];
	if (argc == 4) {
		char *end;
		bad_offset = strtol(argv[3], &end, 10);
		if (!*argv[3] || *end || bad_offset < 0 || bad_offset >= EE_SIZE)
			die("BAD_OFFSET", argv[3], "not a decimal offset below 1024");
	}

	avr_t *avr = avr_make_mcu_by_name("atmega328p");
	if (!avr || avr_init(avr) != 0)
		die("making the ATmega328P", "", "simavr refused");
	avr->frequency = HZ;
	avr->sleep = no_sleep;
	uint32_t boot = load_bootloader(avr);
	/* A pty carries no DTR reset, so the CPU starts where BOOTRST sends it: the bootloader.
	 * The fuses are an Arduino's (high 0xDA: BOOTRST, 1024-word boot section at 0x7800). */
	avr->fuse[AVR_FUSE_LOW] = 0xff;
	avr->fuse[AVR_FUSE_HIGH] = 0xda;
	avr->fuse[AVR_FUSE_EXT] = 0x05;
	avr->reset_pc = boot;
	avr_reset(avr);

	avr_eeprom_desc_t desc = { .ee = NULL, .offset = 0, .size = EE_SIZE };
	avr_ioctl(avr, AVR_IOCTL_EEPROM_GET, &desc);
	ee = desc.ee;
	eecr_write = avr->io[AVR_DATA_TO_IO(EECR)].w.c;
	eecr_param = avr->io[AVR_DATA_TO_IO(EECR)].w.param;
	if (!ee || !eecr_write)
		die("finding the EEPROM", "", "simavr has none for the ATmega328P");
	avr->io[AVR_DATA_TO_IO(EECR)].w.c = eecr_hook;
	load_eeprom();

	/* The slave side stays open here too, so that the master never sees a hang-up between sessions. */
	int slave;
	char pty_name[64];
	struct termios raw;
	if (openpty(&pty_fd, &slave, pty_name, NULL, NULL) != 0 || tcgetattr(slave, &raw) != 0)
		die("making the pty", "", strerror(errno));
	cfmakeraw(&raw);
	if (tcsetattr(slave, TCSANOW, &raw) != 0 || fcntl(pty_fd, F_SETFL, O_NONBLOCK) != 0)
		die("setting up the pty", pty_name, strerror(errno));
	/* No STDIO (the bootloader's bytes are binary) and no POLL_SLEEP: simavr's usleep on every poll
	 * of the UART status would stretch the bootloader's cycle-counted timeouts many times over. */
	uint32_t flags = 0;
	avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
	uart_in = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
	avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), uart_out, avr);
	avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON), uart_xon, avr);
	avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF), uart_xoff, avr);

	struct sigaction sa = { .sa_handler = on_signal };
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGINT, &sa, NULL);
	sigaction(SIGUSR1, &sa, NULL);
	if (symlink(pty_name, link_path) != 0)
		die("making the link", link_path, strerror(errno));
	link_made = 1;

	/* Real time: run 1 ms of CPU cycles, then sleep until the clock has caught up with them. */
	uint64_t t0 = now_ns();
	avr_cycle_count_t c0 = avr->cycle;
	for (;;) {
		read_pty();
		feed_uart(avr);
		avr_cycle_count_t end = avr->cycle + HZ / 1000;
		while (avr->cycle < end) {
			int state = avr_run(avr);
			if (state == cpu_Done || state == cpu_Crashed)
				die("running the CPU", "", "it stopped");
		}
		serve_signals();
		/* Quiet for over twice the bootloader's timeout (1.3 s), so it has started afresh and only
		 * waits for a byte: the CPU pauses, costing no host CPU, until a byte comes in on the pty. */
		if (avr->cycle - last_traffic > 3 * HZ && in_pos == in_len) {
			struct pollfd p = { .fd = pty_fd, .events = POLLIN };
			int ready;
			while ((ready = poll(&p, 1, -1)) != 1) {
				if (ready < 0 && errno != EINTR)
					die("waiting on the pty", pty_name, strerror(errno));
				serve_signals();
			}
			t0 = now_ns(), c0 = last_traffic = avr->cycle;
			continue;
		}
		uint64_t due = t0 + (avr->cycle - c0) * 1000 / (HZ / 1000000);
		uint64_t now = now_ns();
		if (due > now) {
			struct timespec ts = { .tv_sec = due / 1000000000u, .tv_nsec = due % 1000000000u };
			clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
		} else if (now - due > 100000000u) {
			t0 = now, c0 = avr->cycle; /* over 0.1 s behind (a loaded host): no burst to catch up */
		}
	}
}
