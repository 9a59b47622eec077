from .cli import programa

programa()
