/* CT-API for QUOR smart card readers.
 *
 * A card terminal number (ctn) is a name the application picks for one reader; CT_init opens
 * the reader on port number pn and binds it to ctn, CT_data sends a command to the terminal
 * (dad CT, CT-BCS terminal commands) or to the card (dad ICC1, APDUs), CT_close closes it.
 *
 * Port numbers: pn 1 is /dev/ttyS0, pn 2 /dev/ttyS1, and so on. The environment variable
 * QUOR_CTAPI_PORT_<pn> (for instance QUOR_CTAPI_PORT_1=/dev/ttyUSB0) names another device for
 * pn; it is the only way to give pn 0 a device. Several terminals may be open at once, each on
 * a port of its own; calls for different ctn may come from different threads, calls for one
 * ctn are served one after the other.
 *
 * CT_data: *lenr gives the size of the response buffer on entry and the length of the answer
 * on return; the answer ends with the status word SW1 SW2. On success *dad and *sad are
 * swapped (the answer goes from the terminal or card back to the host). On an error nothing is
 * written to response, *lenr, *dad or *sad. */
#ifndef QUOR_CTAPI_H
#define QUOR_CTAPI_H

#ifdef __cplusplus
extern "C" {
#endif

typedef signed char IS8;
typedef unsigned char IU8;
typedef unsigned short IU16;

/* Return codes. */
#define OK 0
#define ERR_INVALID -1 /* bad parameter: unknown or busy ctn, null pointer, bad address */
#define ERR_CT -8      /* the terminal reported a failure */
#define ERR_TRANS -10  /* the reader does not answer, or the line failed */
#define ERR_MEMORY -11 /* the response buffer is too small for the answer */
#define ERR_HTSI -128  /* the host could not open or use the port */

/* Addresses (dad, sad). */
#define ICC1 0
#define CT 1
#define HOST 2
#define REMOTE_HOST 5

IS8 CT_init(IU16 ctn, IU16 pn);
IS8 CT_data(IU16 ctn, IU8* dad, IU8* sad, IU16 lenc, IU8* command, IU16* lenr, IU8* response);
IS8 CT_close(IU16 ctn);

#ifdef __cplusplus
}
#endif

#endif /* QUOR_CTAPI_H */
