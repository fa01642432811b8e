/*
 * pvqsmb.h - the platform's SMBus access library (libpvqsmb).
 *
 * Device addresses are in 8-bit form: the 7-bit SMBus address shifted left by one, low bit 0
 * (0x60/0x6E bypass modules, 0xB0/0xB2/0xB4 PSUs). Every function returns 0 when the transfer
 * was done and a negative errno value otherwise, never one of -1..-7 (a host reads those as
 * the plug-ins' own status codes): -EREMOTEIO no device answered or the transfer failed on
 * the wire; -EINVAL an argument the bus cannot carry (an odd or reserved address, a slot the
 * switch lacks); -ENODEV no adapter (none found, i2c-dev not loaded, a kernel mux without the
 * channel); -EBUSY the device belongs to a kernel driver; -EOPNOTSUPP the adapter cannot do
 * that transfer; -EACCES no permission on the adapter.
 *
 * Callers take no lock; the library serialises its own use of the adapter.
 */
#ifndef PVQSMB_H
#define PVQSMB_H

#ifdef __cplusplus
extern "C" {
#endif

/* SMBus Read Word. The first byte received is stored in the low-order 8 bits of *pData. */
int _pvqsmb_i2c_read_word(unsigned char addr, unsigned char cmd, unsigned short *pData);
/* SMBus Read Byte. */
int _pvqsmb_i2c_read_byte(unsigned char addr, unsigned char cmd, unsigned char *pData);
/* SMBus Write Byte. */
int _pvqsmb_i2c_write_byte(unsigned char addr, unsigned char cmd, unsigned char data);
/* SMBus Block Read. Stores the data bytes (at most 32, without the count) from pBuf[0]; adds no
 * terminator. pBuf must hold 32 bytes. */
int _pvqsmb_i2c_read_block(unsigned char addr, unsigned char cmd, unsigned char *pBuf);
/* Routes the bus to expansion slot `slot` (1 and up) through the slot switch at `muxAddr`
 * (0xE6). The routing stays until the next switch. A slot the switch has no channel for gives
 * -EINVAL and leaves the routing as it was. */
int _pvqsmb_switch_slot(unsigned char muxAddr, unsigned char slot);

#ifdef __cplusplus
}
#endif

#endif /* PVQSMB_H */
