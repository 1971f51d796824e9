import logging

class ComfyUIManager:
    base_url: str
    reboot_api: str
    stats_api: str
    timeout: int
    max_wait: int
    poll_interval: float
    flag: str
    logger: logging.Logger
    def __init__(
        self,
        base_url: str = "http://127.0.0.1:8188",
        timeout: int = 5,
        max_wait_seconds: int = 60,
        poll_interval: float = 2.0,
        logger: logging.Logger | None = None,
    ) -> None: ...
    def trigger_reboot(self) -> None: ...
    def wait_service_ready(self) -> bool: ...
    def run_reboot_and_wait(self) -> bool: ...
