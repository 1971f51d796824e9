"""Control of the local ComfyUI server (hostwarden)."""
