/*
 * lcmlib.h - the inside of the LCD module plug-in, which the plug-in also exports: its state
 * variables and its link helpers. A host needs only pvqinc.h; this header is for tools and
 * tests that look at the link itself.
 *
 * The link helpers return 1 for done and 0 for failed.
 */
#ifndef LCMLIB_H
#define LCMLIB_H

#include <pthread.h>
#include <stdint.h>
#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LCM_RX_BUFFER_SIZE 1024

extern int fPortOpened;         /* 1 while the port is open */
extern int fLcmDevice;          /* descriptor of the open port, -1 while closed */
extern uint32_t dwBaudrate;     /* rate the probe found, bits per second; 0 when none answered */
extern struct termios old_tios; /* the port's settings as found at open, put back at close */

/* The receive ring. pSASRxBufferEnd is the LAST slot, not one past it. buf_mut guards the
 * slots, both pointers and wRxCounter; wRxCounter is also read and written atomically. */
extern unsigned char SASRxBuffer[LCM_RX_BUFFER_SIZE];
extern unsigned char *pSASRxBufferStart;
extern unsigned char *pSASRxBufferEnd;
extern unsigned char *pWritePtr;
extern unsigned char *pReadPtr;
extern uint16_t wRxCounter;
extern pthread_t SASInQueueID;   /* the receive thread */
extern pthread_mutex_t port_mut; /* one whole command exchange at a time */
extern pthread_mutex_t buf_mut;

int _OpenLcmPort(void);
void _CloseLcmPort(void);
int set_interface_attribs(int fd, int speed, int parity);
int _SendBufferLength(unsigned char *buffer, int length);
int _ReadBufferLength(unsigned char *buffer, int length);
void *_IncomeInQueueThread(void *object);
void xdelay(int loop);

/* The kernel calls behind the bounded drain, each returning 0 or -1 with errno as ioctl
 * does: TIOCOUTQ, TIOCSERGETLSR, the monotonic clock and a pause. Test builds replace them to
 * show what a pseudo-terminal cannot (a UART still sending, a signal, a stalled line). */
struct lcm_port_ops {
    int (*outq)(int fd, int *pending);
    int (*lsr)(int fd, unsigned *lsr);
    int64_t (*now_us)(void);
    void (*pause_us)(int64_t us);
};

#ifdef LCM_TEST_SEAM
/* Test builds only. */
void lcm_test_set_port(const char *path); /* the port to open instead of /dev/ttyS1 */
void lcm_test_set_silence_ms(int ms);     /* the answer time-out, 50 ms as shipped */
void lcm_test_set_port_ops(const struct lcm_port_ops *ops); /* NULL: the kernel's */
int lcm_test_drain(int fd);                                 /* 1 when the output was sent in time */
int lcm_test_probe_window_ms(uint32_t bps);                 /* the probe's answer window */
#endif

#ifdef __cplusplus
}
#endif

#endif /* LCMLIB_H */
