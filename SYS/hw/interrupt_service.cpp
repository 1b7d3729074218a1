// The card's interrupt: claimed through the bridge, and while an acquisition runs, a frame's
// half captured and buffered, all at device IRQL.
#include "acq/acquisition.h"
#include "hw/bridge_interrupt.h"
#include "hw/interrupt.h"

/*
 * DispatchFrame: buffers the interrupt's capture into blocks (block mode) or the ring, then
 * enables the bridge's interrupt again: with local interrupt 1 when the capture strobed the
 * card (acknowledging it), otherwise (a board the capture never touches) the PCI interrupt
 * alone, so that the card's unacknowledged interrupt cannot storm the line. Device IRQL,
 * inside InterruptService.
 */
void DispatchFrame(DEVICE_EXTENSION* Extension) {
  if (Extension->BufferMode == 1) {
    BufferBlockFrame(Extension);
  } else {
    BufferStreamFrame(Extension);
  }
  if (CaptureAcknowledgesCard(Extension)) {
    EnableBridgeInterrupt(Extension);
  } else {
    EnableBridgePciInterrupt(Extension);
  }
}

/*
 * InterruptService: the service routine for the card's (possibly shared) line, with the
 * DEVICE_EXTENSION as its context. Not this card's (or no ranges): FALSE after at most one
 * register read. Claimed with local interrupt 1 active while the board is open and running:
 * the frame path, counted in FrameIntCount. Any other claimed interrupt is counted in
 * OtherIntCount and only the PCI interrupt enabled again: nothing acknowledged the card, so a
 * local interrupt 1 the claim silenced (a tick while no acquisition runs, or in a stop between
 * its clear of Running and its disable of the bridge) stays silenced until a start strobes
 * the card; local interrupt 2 alone leaves local interrupt 1's enable as it was. Both counters
 * wrap at 16 bits.
 * Device IRQL, holding the interrupt object's lock.
 */
BOOLEAN NTAPI InterruptService(PKINTERRUPT Interrupt, PVOID ServiceContext) {
  UNREFERENCED_PARAMETER(Interrupt);
  auto* extension = static_cast<DEVICE_EXTENSION*>(ServiceContext);
  if (extension->BoardPort == 0 || extension->BridgePort == 0) return FALSE;
  if (!ClaimBridgeInterrupt(extension)) return FALSE;
  if (extension->BoardOpen && extension->Running && (extension->IntSource & 1)) {
    DispatchFrame(extension);
    extension->FrameIntCount++;
  } else {
    extension->OtherIntCount++;
    EnableBridgePciInterrupt(extension);
  }
  return TRUE;
}
