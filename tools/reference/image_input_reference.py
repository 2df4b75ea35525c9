#!/usr/bin/env python3
"""Reference images for image-to-image and inpainting, from diffusers' own pipelines.

Builds one tiny Stable Diffusion model set with random weights (a CLIP text encoder, a
regular and an inpainting denoising network, one AutoencoderKL whose halves are the image
encoder and the decoder) and runs diffusers' StableDiffusionImg2ImgPipeline and
StableDiffusionInpaintPipeline on it with the PNDM scheduler of Stable Diffusion 1.5.
Writes the model bundles and one fixture per case under tests/nn/fixtures/ImageInputs/
(committed, compared by test_nn's ImageInputReference tests).

The engine's generations differ from diffusers' in two documented ways, which the script
reproduces so that the fixtures hold what the engine must compute:
- random draws come from NumPy's legacy generator in the engine's order (each image's
  starting noise, then the encoder's sample of the image, then of the masked image); the
  pipelines are handed exactly those draws;
- the final image is decoded from the last step's denoised estimate (for a regular network
  with the kept region blended back from the image's latents), not from the last sample.
Everything else (prompt encoding, guidance, the shortened timestep list, adding noise, the
mask's reading and downscaling, the masked image, the 9-channel input, the per-step blend)
is diffusers' code as it runs.

    .venv/bin/python tools/reference/image_input_reference.py
"""

import json
import os
import pathlib
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import nn_reference as nn  # noqa: E402

torch.set_num_threads(1)

ROOT = pathlib.Path(__file__).resolve().parents[2]
OUT = ROOT / "tests/nn/fixtures/ImageInputs"

IMAGE_SIZE = 32      # pixels; the VAE's three levels give 8 × 8 latents
TEXT_POSITIONS = 16
TEXT_WIDTH = 16
PROMPT = "a cat"
NEGATIVE = "dog"
STEPS = 6
GUIDANCE = 7.5
SCALE = 0.18215


def write_tokenizer(folder):
    # Every printable character alone and word-final, start and end tokens: the vocabulary
    # dravelin-make-model writes for its tiny models.
    vocabulary = {}
    for code in range(ord("!"), ord("~") + 1):
        vocabulary[chr(code)] = len(vocabulary)
        vocabulary[chr(code) + "</w>"] = len(vocabulary)
    vocabulary["<|startoftext|>"] = len(vocabulary)
    vocabulary["<|endoftext|>"] = len(vocabulary)
    (folder / "vocab.json").write_text(json.dumps(vocabulary))
    (folder / "merges.txt").write_text("#version: 0.2\n")
    return len(vocabulary)


def build_models(folder):
    from diffusers import AutoencoderKL, UNet2DConditionModel
    from transformers import CLIPTextModel, CLIPTokenizer

    size = write_tokenizer(folder)
    text = CLIPTextModel(nn.clip_text_config(dict(
        vocab_size=size, hidden_size=TEXT_WIDTH, intermediate_size=32, num_hidden_layers=2,
        num_attention_heads=2, max_position_embeddings=TEXT_POSITIONS, bos_token_id=size - 2,
        eos_token_id=size - 1, pad_token_id=1))).eval()
    nn.randomize(text, 51)
    nn.round_to(text, "F16")
    hub_config = json.loads(text.config.to_json_string(use_diff=True))
    hub_config["architectures"] = ["CLIPTextModel"]
    nn.save_bundle(folder / "TextEncoder.model", hub_config, text.state_dict(), "F16")

    vae = AutoencoderKL(in_channels=3, out_channels=3, latent_channels=4,
                        down_block_types=["DownEncoderBlock2D"] * 3,
                        up_block_types=["UpDecoderBlock2D"] * 3,
                        block_out_channels=[8, 8, 16], layers_per_block=1, norm_num_groups=4,
                        sample_size=IMAGE_SIZE).eval()
    nn.randomize(vae, 52)
    nn.round_to(vae, "F16")
    state = vae.state_dict()
    config = nn.hub_vae_config(vae)
    nn.save_bundle(folder / "VAEEncoder.model", config,
                   nn.half_of(state, ("encoder.", "quant_conv.")), "F16")
    nn.save_bundle(folder / "VAEDecoder.model", config,
                   nn.half_of(state, ("decoder.", "post_quant_conv.")), "F16")

    unets = {}
    for name, channels, seed in (("Unet", 4, 53), ("InpaintingUnet", 9, 54)):
        unet = UNet2DConditionModel(
            sample_size=IMAGE_SIZE // 4, in_channels=channels, out_channels=4,
            block_out_channels=[8, 16], layers_per_block=1, norm_num_groups=4,
            down_block_types=["CrossAttnDownBlock2D", "DownBlock2D"],
            up_block_types=["UpBlock2D", "CrossAttnUpBlock2D"],
            cross_attention_dim=TEXT_WIDTH, attention_head_dim=2).eval()
        nn.randomize(unet, seed)
        nn.round_to(unet, "F16")
        latent = IMAGE_SIZE // 4
        nn.save_bundle(folder / f"{name}.model", nn.hub_vae_config(unet), unet.state_dict(),
                       "F16", bundle_json={"inputs": {
                           "sample": [2, channels, latent, latent], "timestep": [2],
                           "encoder_hidden_states": [2, TEXT_WIDTH, 1, TEXT_POSITIONS]}})
        unets[channels] = unet
    tokenizer = CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                              pad_token="<|endoftext|>", model_max_length=TEXT_POSITIONS)
    return text, tokenizer, vae, unets


def scheduler():
    from diffusers import PNDMScheduler

    return PNDMScheduler(num_train_timesteps=1000, beta_start=0.00085, beta_end=0.012,
                         beta_schedule="scaled_linear", skip_prk_steps=True,
                         set_alpha_to_one=False, steps_offset=1)


def starting_image():
    """A smooth colour field with some texture, RGB, 8 bits."""
    y, x = np.mgrid[0:IMAGE_SIZE, 0:IMAGE_SIZE]
    rng = np.random.RandomState(7)
    image = np.stack([x * 7 + 20, y * 6 + 30, (x + y) * 3 + 60], axis=-1) + rng.randint(0, 40, (IMAGE_SIZE, IMAGE_SIZE, 3))
    return np.clip(image, 0, 255).astype(np.uint8)


def mask_image():
    """White repaints: a rectangle, with grey levels of 127 (kept) and 128 (repainted)
    beside it so that the threshold is tested."""
    mask = np.zeros((IMAGE_SIZE, IMAGE_SIZE, 3), dtype=np.uint8)
    mask[8:24, 4:20] = 255
    mask[0:8, 20:24] = 128
    mask[24:32, 0:12] = 127
    return mask


class Draws:
    """The engine's random draws: NumPy's legacy Gaussian stream, in the engine's order."""

    def __init__(self, seed, latent_shape, encodes):
        rng = np.random.RandomState(seed)
        self.noise = torch.from_numpy(rng.standard_normal(latent_shape).astype(np.float32))
        self.samples = [torch.from_numpy(rng.standard_normal(latent_shape)) for _ in range(encodes)]


def sample_from(dist, eps):
    # The engine draws mean + std × gauss in double precision, then rounds to float.
    value = dist.mean.double() + dist.std.double() * eps
    return value.float()


class FinalEstimate:
    """Records the denoised estimate of PNDM's last step: (x − sqrt(1 − ᾱ_t) ε′) / sqrt(ᾱ_t)
    from the arguments diffusers' PNDMScheduler passes to its own update."""

    def __init__(self, scheduler):
        self.estimate = None
        original = scheduler._get_prev_sample

        def recording(sample, timestep, prev_timestep, model_output):
            a = scheduler.alphas_cumprod[timestep]
            self.estimate = (sample - (1 - a) ** 0.5 * model_output) / a ** 0.5
            return original(sample, timestep, prev_timestep, model_output)

        scheduler._get_prev_sample = recording


def decode(vae, latents):
    with torch.no_grad():
        image = vae.decode(latents / SCALE).sample
    pixels = ((image / 2 + 0.5).clamp(0, 1) * 255).round()
    return pixels


def run_img2img(folder, models, seed, strength):
    import diffusers.pipelines.stable_diffusion.pipeline_stable_diffusion_img2img as module
    from diffusers import StableDiffusionImg2ImgPipeline
    from PIL import Image

    text, tokenizer, vae, unets = models
    latent = (1, 4, IMAGE_SIZE // 4, IMAGE_SIZE // 4)
    draws = Draws(seed, latent, 1)
    module.randn_tensor = lambda *args, **kwargs: draws.noise.clone()
    module.retrieve_latents = lambda output, generator=None: sample_from(output.latent_dist,
                                                                        draws.samples[0])
    pipe = StableDiffusionImg2ImgPipeline(vae=vae, text_encoder=text, tokenizer=tokenizer,
                                          unet=unets[4], scheduler=scheduler(),
                                          safety_checker=None, feature_extractor=None,
                                          requires_safety_checker=False)
    final = FinalEstimate(pipe.scheduler)
    with torch.no_grad():
        pipe(PROMPT, image=Image.fromarray(starting_image()), strength=strength,
             num_inference_steps=STEPS, guidance_scale=GUIDANCE, negative_prompt=NEGATIVE,
             output_type="latent")
    return {"denoised": final.estimate, "pixels": decode(vae, final.estimate)}


def run_inpainting(folder, models, seed, strength, channels):
    import diffusers.pipelines.stable_diffusion.pipeline_stable_diffusion_inpaint as module
    from diffusers import StableDiffusionInpaintPipeline
    from PIL import Image

    text, tokenizer, vae, unets = models
    latent = (1, 4, IMAGE_SIZE // 4, IMAGE_SIZE // 4)
    draws = Draws(seed, latent, 2)
    module.randn_tensor = lambda *args, **kwargs: draws.noise.clone()
    pipe = StableDiffusionInpaintPipeline(vae=vae, text_encoder=text, tokenizer=tokenizer,
                                          unet=unets[channels], scheduler=scheduler(),
                                          safety_checker=None, feature_extractor=None,
                                          requires_safety_checker=False)
    image = Image.fromarray(starting_image())
    mask = Image.fromarray(mask_image())
    init = pipe.image_processor.preprocess(image, height=IMAGE_SIZE, width=IMAGE_SIZE)
    encoded = {}

    def encode(image, generator):
        image_tensor = image
        # The image is the engine's first sample, the masked image its second.
        which = 0 if torch.equal(image_tensor, init.to(image_tensor.dtype)) else 1
        with torch.no_grad():
            value = SCALE * sample_from(vae.encode(image_tensor).latent_dist, draws.samples[which])
        encoded[which] = value
        return value

    pipe._encode_vae_image = encode
    final = FinalEstimate(pipe.scheduler)
    with torch.no_grad():
        pipe(PROMPT, image=image, mask_image=mask, strength=strength, height=IMAGE_SIZE,
             width=IMAGE_SIZE, num_inference_steps=STEPS, guidance_scale=GUIDANCE,
             negative_prompt=NEGATIVE, output_type="latent")
    denoised = final.estimate
    if channels == 4:
        # The kept region is the image's own latents in what the engine decodes.
        mask_tensor = pipe.mask_processor.preprocess(mask, height=IMAGE_SIZE, width=IMAGE_SIZE)
        small = torch.nn.functional.interpolate(mask_tensor, size=latent[2:])
        denoised = (1 - small) * encoded[0] + small * denoised
    return {"denoised": denoised, "pixels": decode(vae, denoised)}


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    models = build_models(OUT)
    nn.save_fixture(OUT / "inputs.fixture.safetensors",
                    {"image": torch.from_numpy(starting_image().astype(np.float32)),
                     "mask": torch.from_numpy(mask_image().astype(np.float32))})
    cases = {
        "ImageToImage": run_img2img(OUT, models, seed=11, strength=0.6),
        "InpaintingRegular": run_inpainting(OUT, models, seed=12, strength=0.75, channels=4),
        "InpaintingNetwork": run_inpainting(OUT, models, seed=13, strength=0.75, channels=9),
        "InpaintingNetworkFromNoise": run_inpainting(OUT, models, seed=14, strength=1.0,
                                                     channels=9),
    }
    for name, arrays in cases.items():
        nn.save_fixture(OUT / f"{name}.fixture.safetensors", arrays)
        print(name, "denoised range", float(arrays["denoised"].min()),
              float(arrays["denoised"].max()))


if __name__ == "__main__":
    main()
