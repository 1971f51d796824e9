"""pravel: native helpers for an AI image-generation back end.

Modules: framekit (aspect-ratio matching and padding), shapelens (ratio
analysis), orvid (legal output sizes), marvale (preferred-resolution
scaling), response (error codes and the unified result record), wordguard
(prompt screening) and comfyui.hostwarden (ComfyUI restart and wait).
"""

__version__ = "0.1.0"
